// Runs a fuzz target over files, without libFuzzer: each argument is a file or
// a directory of files, given to the target one by one. Lets any compiler check
// the seed corpus.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n);

namespace {

void repite(const std::filesystem::path& ruta) {
    std::ifstream archivo(ruta, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(archivo)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    int archivos = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entrada : std::filesystem::directory_iterator(argv[i])) {
                repite(entrada.path());
                ++archivos;
            }
        } else {
            repite(argv[i]);
            ++archivos;
        }
    }
    std::printf("%d inputs passed\n", archivos);
    return archivos > 0 ? 0 : 1;
}
