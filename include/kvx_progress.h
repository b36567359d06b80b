/*
 * kvx_progress.h - watching the progress dialog on Linux.
 *
 * Long passes over a file (building a large file's database, adding a
 * second header block, writing an edited file) run on a worker thread while
 * the calling thread waits in a modal progress dialog.  On Windows that is a
 * real dialog box with a percentage bar.  Off Windows there is no window
 * system to show it: the same modal loop and worker run, and a host that
 * wants to show the progress installs a hook that is told what the dialog
 * would show.
 *
 * The hook runs on the thread that called the library (the one in the modal
 * loop), never on the worker; it must not call back into the library.  It
 * is called with KVX_PROGRESS_OPEN once the dialog's text is set, with
 * KVX_PROGRESS_STEP for each progress message, and with KVX_PROGRESS_CLOSE
 * when the work has ended.  A pass that runs without the dialog (folder
 * modes 0 and 2, small files) reports nothing.
 *
 * This header declares nothing on Windows.
 */
#ifndef KVX_PROGRESS_H
#define KVX_PROGRESS_H

#ifndef _WIN32

#if defined(__GNUC__)
#define KVX_PROGRESS_EXPORT __attribute__((visibility("default")))
#else
#define KVX_PROGRESS_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KVX_PROGRESS_OPEN 0
#define KVX_PROGRESS_STEP 1
#define KVX_PROGRESS_CLOSE 2

typedef struct KVXProgress {
    int event;               /* KVX_PROGRESS_OPEN, _STEP or _CLOSE */
    const char *dialog;      /* the dialog's template: "PROGRESSDLG", "PROGRESSDLG_GR", ... */
    unsigned stringId;       /* the message's string id (string base | text index) */
    const char *text;        /* the message, UTF-8; lines end with '\n' */
    unsigned done;           /* of the progress message: chunks done ... */
    unsigned total;          /* ... out of total; 0 and 0 before the first */
    unsigned percent;        /* done * 100 / total */
    const char *percentText; /* the bar's label, "42 %" */
    unsigned barPerMille;    /* how much of the bar is blue, 0 to 1000 */
    unsigned result;         /* KVX_PROGRESS_CLOSE: the work's result code */
} KVXProgress;

typedef void (*KVXProgressHook)(const KVXProgress *progress, void *user);

/* Installs the hook (NULL removes it); `user` is handed back to it. */
KVX_PROGRESS_EXPORT void KVXPosixSetProgressHook(KVXProgressHook hook, void *user);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */
#endif /* KVX_PROGRESS_H */
