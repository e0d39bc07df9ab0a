#include "broadcast/korvadm.h"

#include "common/test_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/version.h"
#include "control/queue/control_file.h"
#include "control/queue/queue.h"
#include "control/queue/queue_test_util.h"

extern char** environ;

namespace korvad {
namespace {

namespace fs = std::filesystem;
using testing::QueueGuard;

// The real program reads this name and no other.
const char kRealControlFile[] = "/tmp/.korvad";

std::string banner() {
    return std::string("\nkorvad LiNUX ACARS decoder v 1.oo - ") + kNotice + "\n" + kSecondLine +
           "\n\n";
}

std::string not_readable(const std::string& path, const std::string& why) {
    return "error opening msgcontrolfile '" + path + "' for reading: " + why + "\n";
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Moves a real control file aside for the length of a test and puts the same
// file (owner, mode, contents) back afterwards, so a running decoder's korvadm
// users find it again.
class ControlFileStash {
  public:
    ControlFileStash() {
        struct stat info {};
        if (lstat(kRealControlFile, &info) != 0) {
            usable_ = errno == ENOENT;
            return;
        }
        std::string name = std::string(kRealControlFile) + ".test-XXXXXX";
        int fd = mkstemp(name.data());
        if (fd < 0) return;
        close(fd);
        if (rename(kRealControlFile, name.c_str()) != 0) {
            unlink(name.c_str());
            return;
        }
        saved_ = name;
        usable_ = true;
    }
    ~ControlFileStash() {
        if (!usable_) return;
        unlink(kRealControlFile);
        if (!saved_.empty()) rename(saved_.c_str(), kRealControlFile);
    }
    ControlFileStash(const ControlFileStash&) = delete;
    ControlFileStash& operator=(const ControlFileStash&) = delete;

    bool usable() const { return usable_; }

  private:
    bool usable_ = false;
    std::string saved_;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

enum class Runner { kFunction, kProgram };

// Every behaviour is checked twice: through run_korvadm with a control file in
// a private folder, and through the real korvadm program with the real
// control file.
class KorvadmTest : public ::testing::TestWithParam<Runner> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        if (GetParam() == Runner::kProgram) {
            stash_ = std::make_unique<ControlFileStash>();
            if (!stash_->usable()) GTEST_SKIP() << "cannot move " << kRealControlFile << " aside";
            control_path_ = kRealControlFile;
        } else {
            control_path_ = (dir_ / ".korvad").string();
        }
    }
    void TearDown() override { stash_.reset(); }

    void put_control_file(const std::vector<unsigned char>& bytes) {
        ASSERT_TRUE(save_atomically(control_path_, [&](std::FILE* stream) {
            return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
        }));
    }
    void publish(int queue_id) { ASSERT_TRUE(write_control_file(queue_id, control_path_.c_str())); }

    Outcome run(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("korvadm"));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int argc = static_cast<int>(argv.size()) - 1;
        const fs::path out_path = dir_ / "stdout";
        const fs::path err_path = dir_ / "stderr";

        Outcome outcome;
        if (GetParam() == Runner::kFunction) {
            std::FILE* out = std::fopen(out_path.c_str(), "wb");
            std::FILE* err = std::fopen(err_path.c_str(), "wb");
            if (out != nullptr && err != nullptr) {
                outcome.status = run_korvadm(argc, argv.data(), control_path_.c_str(), out, err);
            }
            if (out != nullptr) std::fclose(out);
            if (err != nullptr) std::fclose(err);
        } else {
            argv[0] = const_cast<char*>(KORVADM_PROGRAM);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            pid_t pid = 0;
            int status = 0;
            if (posix_spawn(&pid, KORVADM_PROGRAM, &actions, nullptr, argv.data(), environ) == 0 &&
                waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
                outcome.status = WEXITSTATUS(status);
            }
            posix_spawn_file_actions_destroy(&actions);
        }
        outcome.out = read_file(out_path);
        outcome.err = read_file(err_path);
        return outcome;
    }

    TestFolder folder_{"korvadm-test"};
    const fs::path dir_ = folder_.path();
    std::string control_path_;
    std::unique_ptr<ControlFileStash> stash_;
};

TEST_P(KorvadmTest, WithoutATextShowsTheSyntax) {
    Outcome outcome = run({});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, banner());
    EXPECT_EQ(outcome.err, "SYNTAX:\nkorvadm 'message to all connected clients'\n");
}

TEST_P(KorvadmTest, MissingControlFileEndsWithStatus2) {
    Outcome outcome = run({"hello"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, banner());
    EXPECT_EQ(outcome.err,
              not_readable(control_path_, "it does not exist (no korvad has started)"));
    // A folder in its place is no control file either.
    fs::create_directory(control_path_);
    outcome = run({"hello"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, not_readable(control_path_, "it is not a regular file"));
    fs::remove(control_path_);
}

TEST_P(KorvadmTest, ControlFileOfTheWrongSizeIsNotReadable) {
    QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    const auto id = static_cast<unsigned>(queue.id());
    const unsigned char b0 = id & 0xff, b1 = (id >> 8) & 0xff, b2 = (id >> 16) & 0xff,
                        b3 = (id >> 24) & 0xff;
    // Three bytes of the id, and the id with a fifth byte: neither is taken.
    for (const auto& bytes :
         {std::vector<unsigned char>{b0, b1, b2}, std::vector<unsigned char>{b0, b1, b2, b3, 0}}) {
        put_control_file(bytes);
        Outcome outcome = run({"hello"});
        EXPECT_EQ(outcome.status, 2) << bytes.size() << " bytes";
        EXPECT_EQ(outcome.err,
                  not_readable(control_path_,
                               "it has " + std::to_string(bytes.size()) + " bytes instead of 4"));
    }
    QueueMessage msg;
    EXPECT_EQ(queue_receive_once(queue.id(), 0, msg), -1);
}

TEST_P(KorvadmTest, QueueThatNoLongerExistsIsReportedAsAFailure) {
    int old_id = -1;
    {
        QueueGuard gone;
        ASSERT_GE(gone.id(), 0);
        old_id = gone.id();
    }
    publish(old_id);
    Outcome outcome = run({"hello"});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out, banner());
    EXPECT_EQ(outcome.err,
              "korvadm: no korvad runs with the queue the control file names\nmessage NOT send!\n");
}

TEST_P(KorvadmTest, TextReachesTheServerQueueAsCode90) {
    QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    publish(queue.id());
    // Extra arguments are ignored; the text is data, never a format.
    const std::string text = "QNH 1013 %s%n%x \t tonight";
    Outcome outcome = run({text, "second", "third"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, banner());
    EXPECT_EQ(outcome.err, "message send!\n");

    QueueMessage msg;
    ASSERT_EQ(queue_receive_once(queue.id(), 1, msg), static_cast<int>(text.size() + 16));
    EXPECT_EQ(msg.type, 1);
    EXPECT_EQ(msg.code, 90);
    EXPECT_EQ(msg.client_slot, 0);
    EXPECT_EQ(msg.reserved, 0);
    EXPECT_EQ(std::string(msg.text), text);
    EXPECT_EQ(queue_receive_once(queue.id(), 0, msg), -1) << "only one message is sent";
}

TEST_P(KorvadmTest, Text2999LongIsSentWholeLongerIsCutTo2998) {
    QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    publish(queue.id());
    std::string text;
    for (int i = 0; i < 5000; ++i) text.push_back(static_cast<char>('A' + i % 26));

    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {2998, 2998}, {2999, 2999}, {3000, 2998}, {3001, 2998}, {5000, 2998}};
    for (const auto& [given, sent] : cases) {
        Outcome outcome = run({text.substr(0, given)});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, "message send!\n") << given;
        QueueMessage msg;
        ASSERT_EQ(queue_receive_once(queue.id(), 1, msg), static_cast<int>(sent + 16)) << given;
        EXPECT_EQ(std::string(msg.text), text.substr(0, sent)) << given;
    }
}

INSTANTIATE_TEST_SUITE_P(Both, KorvadmTest, ::testing::Values(Runner::kFunction, Runner::kProgram),
                         [](const ::testing::TestParamInfo<Runner>& info) {
                             return info.param == Runner::kFunction ? "Function" : "Program";
                         });

}  // namespace
}  // namespace korvad
