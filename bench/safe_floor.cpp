// The least that an extractor which replaces its output safely can do, as a
// second floor for the benchmark: read the image into a static buffer, write
// the payload to a temporary file beside the output with the old output's
// mode, close it and rename it over the output. It checks nothing else.
//
//   safe_floor IMAGE OUTPUT
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

static unsigned char image[1 << 20];

int main(int, char **argv)
{
    int in = open(argv[1], O_RDONLY);
    if (in < 0 || read(in, image, sizeof image) < 40 || close(in) != 0)
        return 1;
    const uint32_t len = image[32] | image[33] << 8 | image[34] << 16 | (uint32_t)image[35] << 24;
    struct stat st;
    const mode_t mode = stat(argv[2], &st) == 0 ? st.st_mode & 0777 : 0666;
    const std::string temp = std::string(argv[2]) + ".tmp";
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    return out < 0 || write(out, image + 40, len) != (ssize_t)len || close(out) != 0 ||
           rename(temp.c_str(), argv[2]) != 0;
}
