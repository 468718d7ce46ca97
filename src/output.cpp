// How swug and swugimg write an output, by the rule that swug(1) gives
// under OUTPUT: replaced through a temporary file beside it, or written in
// place for one of the reasons named there, or the run fails and leaves it
// byte for byte as it was. An output that may be the input is never written
// in place, and when it is replaced its new content is flushed to the disk
// before the rename.
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

int write_file(const char *name, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len,
               const Input *input)
{
    OutputFile *out = new_output();
    const Content content = {head, head_len, body, body_len}, *c = &content;
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
