// Logs in to the local FTP server on 127.0.0.1:<port> (plain, passive) the way the
// send engine does, with the ident responder on its real port 113, as a user without
// the right to listen there. Run as root, it first becomes "nobody". Prints the log
// lines, then "result <code of the check>".
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "transfer/OSenderFtp.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ftp_login_unprivileged <port>\n");
        return 2;
    }
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
            std::printf("cannot drop privileges\n");
            return 0;
        }
    }
    TEnvironment environment{TEnvironmentOptions{}};
    TConfigurationData configuration{environment};
    TLogData logData{1024, 1024, 64, false};
    TSenderFTP sender(&configuration, &logData);
    sender.SetAttemptPause(std::chrono::milliseconds(20));
    const int result =
        sender.CheckRemoteCertificate(false, false, true, "agent", "agent", "secret", "127.0.0.1", argv[1], 5, true, false);
    for (std::string line; logData.LineRead(line);) std::printf("%s\n", line.c_str());
    std::printf("result %d\n", result);
    return 0;
}
