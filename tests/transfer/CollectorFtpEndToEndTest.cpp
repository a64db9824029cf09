// Collector and sender threads with the FTP protocol, as watching runs them: files
// dropped into a data directory end on the FTP server and in the backup directory.
// FTP never fetches the encoding dictionary, so the CRS table holds no encodings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "collect/OFileCollector.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/WaitFor.h"
#include "tests/transfer/SendTestSupport.h"
#include "transfer/OFileSender.h"
#include "transfer/OSendEngineFtp.h"

using namespace sendtest;

namespace {

class CollectorFtpConcurrency : public TSendTest {
protected:
    CollectorFtpConcurrency() {
        AddRule("Amadeus", "data");
        for (int row = 1; row <= kCRSTypeCount; ++row) asCRSTypeEncodings[row].clear();
        UseFtp();
    }

    // Written under another name first and renamed, as a booking system would drop it.
    void Drop(const std::string& name, const std::string& content) {
        sandbox.WriteFile("drop-" + name, content);
        fs::rename(sandbox.Path("drop-" + name), DataDir() + "/" + name);
        inputs[0][name] = content;
    }
};

}  // namespace

TEST_F(CollectorFtpConcurrency, DroppedFilesReachTheServerWithoutAnyEncoding) {
    TFtpPeer server(sandbox.Path("server"));
    configuration._rData.rFtpTransfer.slHostNames = {"127.0.0.1"};
    configuration._rData.rFtpTransfer.slHostPorts = {server.PortText()};

    TFileCollector collector(&configuration, &logData, queue.get(), &poster);
    TFileSender sender(environment, &configuration, &logData, queue.get(), &poster);
    auto* engine = dynamic_cast<TSendEngineFTP*>(&sender.SendEngineFTP());
    ASSERT_NE(nullptr, engine) << "the sender does not own the FTP engine";
    engine->SetOptions({0, std::chrono::milliseconds(20)});
    engine->SetFilePause(std::chrono::milliseconds(5));

    collector.Start();
    sender.Start();
    Drop("PNR0001.txt", "booking one\r\n");
    Drop("PNR0002.txt", std::string(70000, 'x'));
    const bool arrived = waitFor(
        [&] {
            if (!FilesIn(DataDir()).empty()) return false;
            std::size_t stored = 0;
            for (const auto& entry : fs::recursive_directory_iterator(server.RootDir())) {
                stored += entry.path().filename().string().rfind("ama_PNR000", 0) == 0;
            }
            return stored == 2;
        },
        std::chrono::seconds(60));
    sender.Stop();
    collector.Stop();

    ASSERT_TRUE(arrived);
    EXPECT_FALSE(Logged("not watched, because encoding type for this CRS is not defined"));
    EXPECT_EQ(2u, FilesIn(BakDir()).size());
    for (const auto& [name, content] : inputs[0]) {
        bool found = false;
        for (const auto& entry : fs::recursive_directory_iterator(server.RootDir())) {
            const std::string stored = entry.path().filename().string();
            if (stored.rfind("ama_" + name.substr(0, 7), 0) == 0) {
                found = TSandbox::ReadFile(entry.path().string()) == content &&
                        TSandbox::ReadFile(BakDir() + "/" + stored) == content;
            }
        }
        EXPECT_TRUE(found) << name;
    }
    EXPECT_EQ(0, queue->FileCount());
}
