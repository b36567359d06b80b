// Fuzz target: arbitrary bytes opened as a KVX file, then read by the
// header getters and the mark readers, and given as a header image.
//
// The first byte chooses the chunk geometry (the decoding sessions' 256000
// bytes or the transcription feed's 10240, so that small inputs reach files
// of many chunks) and whether the name is given to KVXActiveFile or, as a
// bare name in the active folder, to KVXActiveFile2.  The rest is the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "core/state.h"
#include "kvx.h"

namespace {

const std::string &folder()
{
    static const std::string path = [] {
        const char *shm = "/dev/shm";
        std::string base = access(shm, W_OK) == 0 ? shm : "/tmp";
        return base + "/kvx-fuzz-" + std::to_string(getpid());
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const std::string dir = folder();
    static bool made = false;
    if (!made) {
        std::string command = "mkdir -p '" + dir + "'";
        if (std::system(command.c_str()) != 0) std::abort();
        made = true;
    }
    const std::string path = dir + "/input.kvx";
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 1 && std::fwrite(data + 1, 1, size - 1, file) != size - 1) std::abort();
    std::fclose(file);

    // Each input is a new file: no shortcut for the name of the last one.
    kvx::g_file.name[0] = '\0';
    kvx::g_decoder.chunkBytes = (mode & 1) ? 10240 : kvx::kChunkBytes;
    kvx::g_decoder.blocksPerChunk = (mode & 1) ? 20 : kvx::kBlocksPerChunk;
    // Large files' passes run here, not under the progress dialog (whose
    // timer would cost 100 ms an input).
    kvx::g_folder.mode = 0;
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result;
    if (mode & 2) {
        std::snprintf(kvx::g_folder.path, sizeof kvx::g_folder.path, "%s", dir.c_str());
        result = KVXActiveFile2("input.kvx", &length, &codecs);
    } else {
        result = KVXActiveFile(path.c_str(), &length, &codecs);
    }
    if (result == KVX_OK) {
        // A file that opened has a table of its chunk count and no handle.
        if (kvx::g_file.chunkCount == 0 || kvx::g_file.chunkTimes == nullptr) std::abort();
        if (length != kvx::g_file.chunkTimes[kvx::g_file.chunkCount - 1]) std::abort();
        if (kvx::g_file.handle != nullptr) std::abort();
    } else if (kvx::g_file.handle != nullptr) {
        std::abort();
    }

    uint32_t positions[16];
    uint32_t count = 0;
    KVXGetIndexMark(positions, &count);
    if (count > 16) std::abort();
    KVXGetExtIndexMark(positions, &count);
    if (count > 16) std::abort();

    std::snprintf(kvx::g_folder.path, sizeof kvx::g_folder.path, "%s", dir.c_str());
    HeaderInfo info;
    KVXGetHeaderInfo("input.kvx", &info);
    HeaderInfoEx ex;
    KVXGetHeaderInfoEx("input.kvx", &ex); // may convert a one-block file

    // The same bytes as a header image: 9 bytes before the header, at least
    // the 1024 bytes of a header behind them, and a terminator, since an
    // image whose check fails is taken as a name.
    std::vector<uint8_t> image(9 + (size - 1 < 1024 ? 1024 : size - 1) + 1, 0);
    std::memset(image.data(), 'x', 9);
    if (size > 1) std::memcpy(image.data() + 9, data + 1, size - 1);
    KVXGetHeaderInfoEx(reinterpret_cast<const char *>(image.data()), &ex);
    return 0;
}
