// Standard input of a foreground command when the launcher has read ahead of
// the policy line: the bytes already in the shared buffer belong to the command.
#pragma once

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

// The descriptor the command gets as its standard input. With nothing
// buffered it is 0 itself (a terminal stays a terminal). A seekable 0 is
// rewound by the buffered count. Otherwise a pipe is returned, fed by a
// detached thread with the buffered bytes and then the rest of 0 until end
// of file. The shared buffer is emptied in every case but the first.
struct CommandInput {
    int fd = 0;
    UniqueFd owned;  // the pipe's read end, closed by the caller after spawn
};

Result<CommandInput> command_input();

}  // namespace tj
