// Times command-mode extraction against dd doing the same byte-exact copy,
// and against two floors: one that does nothing but read and write in place,
// and one that replaces its output safely through a temporary file. Paired:
// each round runs swug, dd and both floors in turn, so all see the same
// machine state, and the order turns round by round. Prints one Markdown
// table; fails when an output differs from the payload.
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
        const std::string img = dir + "/img.bin", out_a = dir + "/out-swug.bin", out_b = dir + "/out-dd.bin",
                          out_c = dir + "/out-floor.bin", out_d = dir + "/out-safe.bin";
        std::ofstream(img, std::ios::binary) << image(sz.size);
        const std::vector<std::string> a = {swug, img, out_a};
        const std::vector<std::string> b = {"dd", "if=" + img, "of=" + out_b, "bs=1M",
                                            "iflag=skip_bytes,count_bytes", "skip=40",
                                            "count=" + std::to_string(sz.size - 40), "status=none"};
        const std::vector<std::string> c = {floor, img, out_c};
        const std::vector<std::string> d = {safe, img, out_d};
        for (int i = 0; i < 10; i++) {
            run(a);
            run(b);
            run(c);
            run(d);
        }
        // Times, then the ratio of swug's time to each other's in the same round.
        std::vector<double> ta, tb, tc, td, rb, rc, rd;
        long rss_a = 0, rss_b = 0;
        for (int r = 0; r < rounds; r++) {
            // Each takes its turn first, so that none always runs after the same one.
            const std::vector<std::string> *cmds[] = {&a, &b, &c, &d};
            Sample s[4];
            for (int i = 0; i < 4; i++)
                s[(i + r) % 4] = run(*cmds[(i + r) % 4]);
            const Sample &sa = s[0], &sb = s[1], &sc = s[2], &sd = s[3];
            ta.push_back(sa.ms);
            tb.push_back(sb.ms);
            tc.push_back(sc.ms);
            td.push_back(sd.ms);
            rb.push_back(sa.ms / sb.ms);
            rc.push_back(sa.ms / sc.ms);
            rd.push_back(sa.ms / sd.ms);
            rss_a = std::max(rss_a, sa.rss_kib);
            rss_b = std::max(rss_b, sb.rss_kib);
        }
        const std::string want = image(sz.size).substr(40);
        if (slurp(out_a) != want || slurp(out_b) != want || slurp(out_c) != want || slurp(out_d) != want) {
            fprintf(stderr, "%s: outputs differ from the payload\n", sz.name);
            return 1;
        }
        printf("| %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f | %.2f | %.2f | %ld KiB | %ld KiB |\n", sz.name,
               median(ta), median(tb), median(tc), median(td), median(rb), median(rc), median(rd), rss_a, rss_b);
        fflush(stdout);
    }
    return 0;
}
