// Runs a fuzz target over files given on the command line, so that the
// saved corpus and every past finding replay as plain tests.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int ran = 0;
    for (int i = 1; i < argc; ++i) {
        FILE *file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> data;
        int c;
        while ((c = std::fgetc(file)) != EOF) data.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++ran;
    }
    std::printf("replayed %d inputs\n", ran);
    return 0;
}
