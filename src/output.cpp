// How swug and swugimg write an output. One rule: the output is replaced
// through a temporary file beside it, or written in place for one of the
// reasons below, or the run fails and leaves it byte for byte as it was.
//
// Written in place, because a replacement would change it in other ways:
//   - it is not a regular file (a device, a FIFO, NUL, CON);
//   - it has more than one hard link;
//   - it names a descriptor this process holds (/dev/stdout, /dev/fd/N),
//     which is written at its position and never truncated;
//   - the user may write it but may not create a file beside it, or may not
//     replace it (another user's file in a sticky directory; on Windows, a
//     file another program holds open).
// None of these is ever taken when the output may be the input: then a
// failure while writing would destroy the only copy of the image, and the
// run fails instead. When the output is the input and is replaced, the new
// content is flushed to the disk before the rename, so that a crash leaves
// the image or the payload, never neither.
//
// The system calls behind each step are in the platform files. A failed step
// leaves its reason in errno, which write_file hands back.
#include "output.h"

#include <errno.h>

static int replace(OutputFile *out, const Content *c, bool durable, const Input *input)
{
    Step s = make_temp(out);

    if (s == DONE) {
        s = fill_temp(out, c, durable) ? rename_temp(out) : FAILED;
        if (s != DONE) {
            const int error = errno;
            drop_temp(out);
            errno = error;
        }
    }
    if (s == NOT_ALLOWED)
        return write_in_place(out, c, input);
    return s == DONE;
}

int write_output(OutputFile *out, const char *name, const Content *c, const Input *input)
{
    bool is_input = true;
    int ok = 0;

    switch (find_output(out, name, input, &is_input)) {
    case OUTPUT_NEW:
        ok = replace(out, c, false, input);
        break;
    case OUTPUT_FILE:
        ok = replace(out, c, is_input, input);
        break;
    case OUTPUT_IN_PLACE:
        ok = write_in_place(out, c, input);
        break;
    case OUTPUT_REFUSED:
        break;
    }
    const int error = errno;
    end_output(out);
    errno = error;
    return ok;
}
