// Times command-mode extraction against dd doing the same byte-exact copy,
// and against two floors: one that does nothing but read and write in place,
// and one that replaces its output safely through a temporary file. swug is
// measured against each of the three on its own, in rounds of swug, the
// other, the other, swug, so that each program follows itself as often as
// the other. A file system's work left over from one run (the writeback a
// rename or a truncation starts) is paid by the run after it; in a fixed
// cycle of all four programs each would always pay for the same neighbour.
// Prints one Markdown table; fails when an output differs from the payload.
// A child's peak RSS counts the spawning process's own, so this driver is
// linked statically and holds no image in memory while it times.
//
//   pair SWUG FLOOR SAFE_FLOOR WORKDIR ROUNDS
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Sample {
    double ms;
    long rss_kib;
};

Sample run(const std::vector<std::string> &cmd)
{
    std::vector<char *> argv;
    for (const std::string &s : cmd)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);

    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        fprintf(stderr, "cannot start %s\n", argv[0]);
        exit(1);
    }
    int status;
    rusage ru;
    wait4(pid, &status, 0, &ru);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", argv[0]);
        exit(1);
    }
    return {(t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6, ru.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// An image of `size` bytes: a header whose length covers the rest, then a
// payload that is not all one byte.
std::string image(size_t size)
{
    const uint32_t len = (uint32_t)(size - 40);
    std::string s(size, '\0');
    s[0] = 1;
    for (int i = 0; i < 4; i++)
        s[32 + i] = (char)(len >> (8 * i));
    for (size_t i = 40; i < size; i++)
        s[i] = (char)(i * 131 + i / 4096);
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: pair SWUG FLOOR SAFE_FLOOR WORKDIR ROUNDS\n");
        return 2;
    }
    const std::string swug = argv[1], floor = argv[2], safe = argv[3], dir = argv[4];
    const int rounds = atoi(argv[5]);
    const struct {
        const char *name;
        size_t size;
    } sizes[] = {{"1 KiB", 1024}, {"64 KiB", 65536}, {"1 MiB", 1048576}};

    printf("| image | swug | dd | floor | safe floor | swug/dd | swug/floor | swug/safe floor | swug peak RSS | "
           "dd peak RSS |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const auto &sz : sizes) {
        const std::string img = dir + "/img-" + std::to_string(sz.size) + ".bin", out_a = dir + "/out-swug.bin", out_b = dir + "/out-dd.bin",
                          out_c = dir + "/out-floor.bin", out_d = dir + "/out-safe.bin";
        std::ofstream(img, std::ios::binary) << image(sz.size);
        const std::vector<std::string> a = {swug, img, out_a};
        const std::vector<std::string> b = {"dd", "if=" + img, "of=" + out_b, "bs=1M",
                                            "iflag=skip_bytes,count_bytes", "skip=40",
                                            "count=" + std::to_string(sz.size - 40), "status=none"};
        const std::vector<std::string> c = {floor, img, out_c};
        const std::vector<std::string> d = {safe, img, out_d};
        // Medians of swug's runs and the other's, against each of the three.
        std::vector<double> ms[3], others[3], ratio(3);
        long rss_a = 0, rss_b = 0;
        const std::vector<std::string> *rivals[] = {&b, &c, &d};
        for (int k = 0; k < 3; k++) {
            std::vector<double> ta;
            for (int i = 0; i < 5; i++) {
                run(a);
                run(*rivals[k]);
            }
            for (int r = 0; r < rounds; r++) {
                const Sample s1 = run(a), s2 = run(*rivals[k]), s3 = run(*rivals[k]), s4 = run(a);
                ta.insert(ta.end(), {s1.ms, s4.ms});
                others[k].insert(others[k].end(), {s2.ms, s3.ms});
                rss_a = std::max({rss_a, s1.rss_kib, s4.rss_kib});
                if (k == 0)
                    rss_b = std::max({rss_b, s2.rss_kib, s3.rss_kib});
            }
            ms[k] = ta;
            ratio[k] = median(ta) / median(others[k]);
        }
        std::vector<double> all_a;
        for (const auto &t : ms)
            all_a.insert(all_a.end(), t.begin(), t.end());
        const std::string want = image(sz.size).substr(40);
        if (slurp(out_a) != want || slurp(out_b) != want || slurp(out_c) != want || slurp(out_d) != want) {
            fprintf(stderr, "%s: outputs differ from the payload\n", sz.name);
            return 1;
        }
        printf("| %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f | %.2f | %.2f | %ld KiB | %ld KiB |\n", sz.name,
               median(all_a), median(others[0]), median(others[1]), median(others[2]), ratio[0], ratio[1], ratio[2],
               rss_a, rss_b);
        fflush(stdout);
    }
    return 0;
}
