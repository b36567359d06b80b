/* decode of several recordings into a folder, each in a process of its
 * own; and the temporary name that every decode writes its output under. */
#ifndef KVX_TOOL_BATCH_H
#define KVX_TOOL_BATCH_H

#include <string>

struct DecodeOptions;
namespace CLI {
class App;
}

/* kvx decode IN... -d FOLDER: the output names from the inputs, checked
 * before anything is decoded; then each file decoded by the tool run
 * again as "kvx decode IN -o OUT ...", at most options.jobs at once, one
 * status line per file on stderr.  The exit status is 0 when every file
 * succeeded, 1 when one failed, else 3 when one was salvaged. */
int decode_batch(const CLI::App *command, const DecodeOptions &options);

/* An output file written under a temporary name in its folder and given
 * its own name only when whole, so that a failed or interrupted decode
 * leaves nothing under that name.  Standard output ("-") is written as it
 * is. */
class PartFile {
public:
    explicit PartFile(const std::string &name);
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    /* Removes the temporary file unless commit() renamed it. */
    ~PartFile();
    /* Where to write. */
    const std::string &path() const { return part_; }
    /* Renames the written file to its own name; says why on stderr when
     * that fails. */
    bool commit();

private:
    std::string name_;
    std::string part_;
    bool done_ = false;
};

#endif
