// The steps by which write_file makes an output: output.cpp holds the rule,
// each platform file the steps.
#ifndef SWUG_OUTPUT_H
#define SWUG_OUTPUT_H

#include "platform.h"

// The output being made, from find_output to end_output, its temporary file
// included. Each platform file defines what it holds.
struct OutputFile;

// The one record of the output being made, emptied: one at a time, since
// the signal handler that removes its temporary file must reach it.
OutputFile *new_output(void);

// The new content of an output.
typedef struct {
    const uint8_t *head;
    size_t head_len;
    const uint8_t *body;
    size_t body_len;
} Content;

// What an output name stands for.
enum Output {
    OUTPUT_NEW,       // no file yet
    OUTPUT_FILE,      // a regular file with one link
    OUTPUT_IN_PLACE,  // a file a replacement would change in other ways: not a regular
                      // file, more than one link, or a descriptor this process holds
    OUTPUT_REFUSED,   // a file the user may not write, or a name that cannot be followed
};

// How a step went.
enum Step {
    DONE,
    NOT_ALLOWED,  // the user may write the output, but not do this
    FAILED,
};

// Looks the output up. For OUTPUT_FILE, *is_input tells whether it is the
// file `input` (true when that cannot be ruled out).
Output find_output(OutputFile *out, const char *name, const Input *input, bool *is_input);
// A new, empty temporary file beside the output.
Step make_temp(OutputFile *out);
// Gives the temporary file the old output's owner, mode and attributes (where
// there is an old output), fills it, and closes it; flushed to the disk
// first when `durable`.
bool fill_temp(OutputFile *out, const Content *c, bool durable);
// Renames the temporary file over the output.
Step rename_temp(OutputFile *out);
// Removes the temporary file, which fill_temp has closed whatever happened.
void drop_temp(OutputFile *out);
// Writes the output where it is: through the descriptor it names, or opened
// without truncating and truncated only once it is known not to be `input`.
// A regular file that holds exactly the input's bytes may be the input
// under another identity, and is refused.
bool write_in_place(OutputFile *out, const Content *c, const Input *input);
// Releases what find_output took.
void end_output(OutputFile *out);

// Whether an open file with this identity may be `input`: certainly when the
// system could not tell which file `input` is.
inline bool may_be_input(const Input *input, uint64_t volume, uint64_t index)
{
    return input != NULL && (!input->id.known || (input->id.volume == volume && input->id.index == index));
}

#endif
