// Keeps a file open for writing, as a booking system does while it writes a data file,
// until its standard input ends.
//   hold_open_for_write FILE          open FILE for appending, print "open", wait, close, print "closed"
//   hold_open_for_write FILE flock    the same, also holding an exclusive flock on it
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/HelperProgram.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    // Blocks while another process holds a read lease on the file, until it lets go.
    const int fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Say("failed");
        return 3;
    }
    if (argc > 2 && std::string(argv[2]) == "flock" && flock(fd, LOCK_EX) != 0) {
        Say("failed");
        return 4;
    }
    Say("open");
    WaitForEndOfInput();
    close(fd);
    Say("closed");
    return 0;
}
