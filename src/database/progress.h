/*
 * progress.h - the progress dialog of long file passes.
 *
 * A long pass (a large file's database build, a new header block, writing
 * an edited file) runs on a worker thread while the caller's thread sits in
 * a small modal dialog that names the job and shows a percentage bar.  The
 * worker reports with progress messages and ends with the completion
 * message, whose lParam becomes the dialog's result.  The dialog's template
 * and texts follow the system's default language, chosen once at load.
 */
#ifndef KVX_DATABASE_PROGRESS_H
#define KVX_DATABASE_PROGRESS_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

namespace kvx {

/* What the dialog is shown for. */
enum ProgressJob : int {
    kJobPass = 0, /* a database or header pass */
    kJobEdit = 1, /* writing an edited file */
};

/* Control ids, timer and messages of the dialog. */
constexpr int kProgressTextControl = 1003;
constexpr int kProgressBarControl = 201;
constexpr uintptr_t kProgressTimer = 200;
constexpr WPARAM kProgressCommand = 202;
constexpr UINT kWorkerDoneMessage = WM_USER + 500; /* 1524 */

/* One language's dialog. */
struct ProgressLanguage {
    uint16_t primary;      /* primary language id; 0 for the default */
    const char *dialog;    /* the template's resource name */
    uint16_t stringBase;   /* string id of text index 0 */
    const char *utf8[3];   /* the texts, as shown off Windows */
};

/* The Japanese texts in Shift-JIS and the Chinese one in Big5, as the
 * Windows dialog shows them (the string table holds the others). */
extern const char *const kShiftJisTexts[3];
extern const char kBig5Text[];

/* The language of a locale id; English for languages without their own. */
const ProgressLanguage &progress_language_for(uint32_t lcid);
/* Chooses the language from the system's default locale (at load). */
void choose_progress_language();
const ProgressLanguage &progress_language();

/* The text index of a job: 1 for an edited file, else 2 for a header pass
 * alone (conversion request 2), else 0. */
uint32_t progress_text_index(int job, int32_t conversion_request);

/* The dialog's message for a text index, in the system's code page on
 * Windows and in UTF-8 elsewhere. */
void progress_text(uint32_t text_index, char *out, size_t out_bytes);

/* "42 %": the percentage of done out of total, integer division. */
void progress_percent_text(uint32_t done, uint32_t total, char *out, size_t out_bytes);
/* Where the bar's blue part ends for a bar from left to right. */
int32_t progress_bar_split(int32_t left, int32_t right, uint32_t done, uint32_t total);

/* A job of the worker thread; its result ends the dialog. */
typedef uint32_t (*ProgressWork)(void *context);

/* Runs `work` under the dialog, owned by the window that the caller gave
 * the decoder initialisation, and returns its result.  When the dialog
 * cannot be made (no display, a stale owner) the work runs directly on the
 * calling thread instead. */
uint32_t run_under_progress(int job, int32_t conversion_request, ProgressWork work, void *context);

/* Sends the dialog progress, (total << 16) | done, while one is up. */
void progress_report(uint32_t total, uint32_t done);
/* Whether a dialog is up (progress is being shown). */
bool progress_showing();

} // namespace kvx

#endif /* KVX_DATABASE_PROGRESS_H */
