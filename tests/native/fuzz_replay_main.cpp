// Runs a fuzz target's checks over every file of the corpus folders given, without libFuzzer:
// the corpus as a regression test in builds that have no fuzzing engine.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int files = 0;
    for (int a = 1; a < argc; a++) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[a])) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
            LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
            files++;
        }
    }
    printf("replayed %d corpus files\n", files);
    return files > 0 ? 0 : 1;
}
