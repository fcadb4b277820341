#include "bench/support/bench_support.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tavrik::bench {

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double CpuSeconds(int who) {
    struct rusage usage = {};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

long MakeTree(const std::string& top, long files, long perDirectory) {
    namespace fs = std::filesystem;
    fs::remove_all(top);
    fs::create_directories(top);
    long directories = 0;
    for (long i = 0; i < files; ++i) {
        const std::string directory = top + "/d" + std::to_string(i / perDirectory);
        if (i % perDirectory == 0) {
            fs::create_directory(directory);
            ++directories;
        }
        std::ofstream(directory + "/f" + std::to_string(i));
    }
    return files + directories + 1;
}

}  // namespace tavrik::bench
