// The least that any extractor can do, as a floor for the benchmark: read the
// image into a static buffer, write the payload its header gives, close. It
// checks nothing.
//
//   floor IMAGE OUTPUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

static unsigned char image[1 << 20];

int main(int, char **argv)
{
    int in = open(argv[1], O_RDONLY);
    if (in < 0 || read(in, image, sizeof image) < 40 || close(in) != 0)
        return 1;
    const uint32_t len = image[32] | image[33] << 8 | image[34] << 16 | (uint32_t)image[35] << 24;
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    return out < 0 || write(out, image + 40, len) != (ssize_t)len || close(out) != 0;
}
