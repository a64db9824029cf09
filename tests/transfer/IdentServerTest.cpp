#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Ports.h"
#include "transfer/OIdentServer.h"

namespace {

// A querying host: one connection to the responder, any number of queries on it.
class TIdentClient {
public:
    explicit TIdentClient(int port) : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        timeval timeout{5, 0};
        setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        _lConnected = connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~TIdentClient() { close(_fd); }
    TIdentClient(const TIdentClient&) = delete;
    TIdentClient& operator=(const TIdentClient&) = delete;

    // Sends the query lines and returns the answer lines, without their CR LF.
    std::vector<std::string> Ask(const std::string& queries, std::size_t answers) {
        std::vector<std::string> lines;
        if (!_lConnected) return lines;
        send(_fd, queries.data(), queries.size(), MSG_NOSIGNAL);
        char chunk[256];
        while (lines.size() < answers) {
            for (std::size_t end; lines.size() < answers && (end = _sReceived.find("\r\n")) != std::string::npos;) {
                lines.push_back(_sReceived.substr(0, end));
                _sReceived.erase(0, end + 2);
            }
            if (lines.size() == answers) break;
            const ssize_t got = recv(_fd, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            _sReceived.append(chunk, static_cast<std::size_t>(got));
        }
        return lines;
    }

private:
    int _fd;
    bool _lConnected = false;
    std::string _sReceived;
};

std::vector<std::string> Ask(int port, const std::string& queries, std::size_t answers) {
    return TIdentClient(port).Ask(queries, answers);
}

}  // namespace

TEST(IdentServer, BlankReplyIsRefusedAtCreation) {
    for (const char* reply : {"", "   ", "\t \r\n"}) {
        try {
            TIdentServer server(reply, 0);
            FAIL() << "created with reply '" << reply << "'";
        } catch (const EIdentServer& error) {
            EXPECT_STREQ("TIdentServer error: cannot create object, reply is empty", error.what());
        }
    }
}

TEST(IdentServer, AnswersFollowTheProtocol) {
    struct TCase {
        std::string query;
        std::string reply;
        std::string answer;
    };
    const std::vector<TCase> cases = {
        {"6193, 23", "agent", "6193 , 23 : USERID : UNIX,ISO-8859-1 : agent"},
        {" 65535 ,1 ", "agent", "65535 , 1 : USERID : UNIX,ISO-8859-1 : agent"},
        // The character set named is the one the user id is sent in.
        {"1,2", "M\xC3\xBCller", "1 , 2 : USERID : UNIX,ISO-8859-1 : M\xFCller"},
        {"1,2", "\xE2\x82\xAC-user", "1 , 2 : USERID : UNIX,ISO-8859-1 : ?-user"},
        {"0,23", "agent", "0,23 : ERROR : INVALID-PORT"},
        {"70000,23", "agent", "70000,23 : ERROR : INVALID-PORT"},
        {"6193", "agent", "6193 : ERROR : INVALID-PORT"},
        {"a,b", "agent", "a,b : ERROR : INVALID-PORT"},
    };
    for (const TCase& c : cases) EXPECT_EQ(c.answer, TIdentServer::Answer(c.query, c.reply)) << c.query;
}

TEST(IdentServerConcurrency, AnswersQueriesOnItsPortWhileStarted) {
    TIdentServer server("  zelko agent  ", 0);
    ASSERT_TRUE(server.ServerStart());
    ASSERT_GT(server.Port(), 0);
    EXPECT_EQ("zelko agent", server.Reply());

    // Two clients at once, one of them asking twice on one connection.
    std::vector<std::string> first, second;
    std::thread other([&] { first = Ask(server.Port(), "4000, 21\r\n4001 , 21\r\n", 2); });
    second = Ask(server.Port(), "5000,2121\n", 1);
    other.join();
    EXPECT_EQ((std::vector<std::string>{"4000 , 21 : USERID : UNIX,ISO-8859-1 : zelko agent",
                                        "4001 , 21 : USERID : UNIX,ISO-8859-1 : zelko agent"}),
              first);
    EXPECT_EQ((std::vector<std::string>{"5000 , 2121 : USERID : UNIX,ISO-8859-1 : zelko agent"}), second);

    server.ServerStop();
    EXPECT_TRUE(Ask(server.Port(), "1,2\r\n", 1).empty());
}

TEST(IdentServerConcurrency, PortHeldByAnotherProgramFailsWithAddressInUse) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(fd, 1));
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);

    TIdentServer server("agent", ntohs(address.sin_port));
    EXPECT_FALSE(server.ServerStart());
    EXPECT_EQ(EADDRINUSE, server.LastError());
    close(fd);
}

TEST(IdentServerConcurrency, PortIsFreeAgainRightAfterAnsweredQueries) {
    // Every login starts a new responder on the same port. Stopping closes the
    // connections still open from our side, which leaves them waiting out their close
    // on that port; the next responder must get the port all the same.
    const int port = ClosedPort();
    for (int round = 0; round < 3; ++round) {
        auto server = std::make_unique<TIdentServer>("agent", port);
        ASSERT_TRUE(server->ServerStart()) << "round " << round << ", errno " << server->LastError();
        TIdentClient querier(port);
        EXPECT_EQ(1u, querier.Ask("1,2\r\n", 1).size());
        server.reset();
    }
}
