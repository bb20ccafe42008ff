// A selection tool that takes no time: "start STAMP" notes when it began running and ends as a cancelled
// selection (status 1); "select STAMP FIXTURE OUT" copies FIXTURE to OUT as the dragged region, notes when it
// ends, and ends with status 0. The moment is written to STAMP as nanoseconds on the monotonic clock.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace {

bool stamp(const char* path)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    const bool written =
        std::fprintf(file, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec) > 0;
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "start") == 0) {
        return stamp(argv[2]) ? 1 : 3;
    }
    if (argc == 5 && std::strcmp(argv[1], "select") == 0) {
        std::ifstream in(argv[3], std::ios::binary);
        std::ofstream out(argv[4], std::ios::binary);
        out << in.rdbuf();
        out.close();
        if (!in || !out) {
            return 3;
        }
        return stamp(argv[2]) ? 0 : 3;
    }
    std::fprintf(stderr, "usage: bench_stamp_tool start STAMP | select STAMP FIXTURE OUT\n");
    return 2;
}
