// px4610-sim as a child process: its ready line, its entry in the port map and how it ends.
#include "SimPeer.h"
#include "UnitTypesPX4610.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace simtest;

namespace {

// The program with its standard output and error on pipes, its port map in a private folder.
class TChild {
public:
    TChild(const std::vector<std::string>& Arguments, const fs::path& PortDir) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> texts{PX4610_SIM_PROGRAM};
        texts.insert(texts.end(), Arguments.begin(), Arguments.end());
        std::vector<char*> argv;
        for (std::string& text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment{"LXCOMM_PORT_DIR=" + PortDir.string()};
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (std::string_view(*entry).substr(0, 16) != "LXCOMM_PORT_DIR=")
                environment.emplace_back(*entry);
        std::vector<char*> envp;
        for (std::string& text : environment)
            envp.push_back(text.data());
        envp.push_back(nullptr);
        const int spawned =
            posix_spawn(&fPid, PX4610_SIM_PROGRAM, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        fOut = out[0];
        fErr = err[0];
        if (spawned != 0)
            throw std::runtime_error("cannot start " PX4610_SIM_PROGRAM);
    }
    ~TChild() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
        close(fOut);
        close(fErr);
    }

    // The first line of standard output, or "" when none comes within Within.
    std::string ReadyLine(std::chrono::milliseconds Within = 3000ms) {
        std::string line;
        const auto deadline = TClock::now() + Within;
        while (TClock::now() < deadline) {
            pollfd fd{fOut, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char c;
            if (read(fOut, &c, 1) != 1 || c == '\n')
                return line;
            line += c;
        }
        return "";
    }
    void Signal(int Number) { kill(fPid, Number); }
    // The exit status, or -1 when it does not end within Within (it is then killed).
    int Wait(std::chrono::milliseconds Within = 3000ms) {
        const auto deadline = TClock::now() + Within;
        int status = 0;
        while (waitpid(fPid, &status, WNOHANG) == 0) {
            if (TClock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        fPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Rest(bool Error) {
        std::string text;
        char buffer[4096];
        for (ssize_t count; (count = read(Error ? fErr : fOut, buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(count));
        return text;
    }

private:
    pid_t fPid = -1;
    int fOut = -1, fErr = -1;
};

class SimProgram : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/px4610-simprog.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fDir = pattern;
    }
    void TearDown() override { fs::remove_all(fDir); }

    // The COM number and device of a ready line, after checking the link that stands for it.
    std::pair<unsigned, std::string> Ready(TChild& Child) {
        const std::string line = Child.ReadyLine();
        std::smatch match;
        if (!std::regex_match(line, match, std::regex(R"(COM(\d+) (/dev/pts/\d+))"))) {
            ADD_FAILURE() << "ready line '" << line << "'";
            return {0, ""};
        }
        const unsigned number = unsigned(std::stoul(match[1]));
        EXPECT_EQ(fs::read_symlink(Link(number)), match[2].str());
        return {number, match[2]};
    }
    fs::path Link(unsigned Number) const { return fDir / ("com" + std::to_string(Number)); }
    bool Linked(unsigned Number) const { return fs::is_symlink(fs::symlink_status(Link(Number))); }

    fs::path fDir;
};

std::vector<std::uint8_t> Frame(TCommandType Command) {
    const TCommandRequest r = *CommandRequest(Command);
    const TRequestFrame frame =
        BuildRequestFrame(r.Slave, r.Function, r.FirstRegister, r.RegisterCount);
    return {frame.begin(), frame.end()};
}

} // namespace

TEST_F(SimProgram, ServesUntilASignalAndThenRemovesItsLink) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        TChild child({"--frozen", "--no-pacing"}, fDir);
        const auto [number, path] = Ready(child);
        ASSERT_EQ(number, 1u);
        {
            TPeer peer(path);
            peer.Send(Frame(TCommandType::ctUDC));
            EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
        }
        child.Signal(signal);
        EXPECT_EQ(child.Wait(), 0);
        EXPECT_FALSE(Linked(number));
        EXPECT_EQ(child.Rest(false), ""); // the ready line is the only output
    }
}

TEST_F(SimProgram, TakesTheGivenOrTheFirstFreeNumberAndLeavesOthersAlone) {
    TChild fifth({"--com", "5"}, fDir);
    EXPECT_EQ(Ready(fifth).first, 5u);
    TChild first({}, fDir);
    EXPECT_EQ(Ready(first).first, 1u);
    TChild clash({"--com=5"}, fDir);
    EXPECT_EQ(clash.Wait(), 1);
    EXPECT_NE(clash.Rest(true).find("COM5 is already in the port map"), std::string::npos);
    EXPECT_TRUE(Linked(5));
    fifth.Signal(SIGTERM);
    EXPECT_EQ(fifth.Wait(), 0);
    EXPECT_FALSE(Linked(5));
    EXPECT_TRUE(Linked(1));
}

// A killed simulator cannot clean up: its link stays, pointing at a terminal that is gone (or
// that the next simulator got anew). The next simulator removes it and takes the number.
TEST_F(SimProgram, TheLinkOfAKilledSimulatorDoesNotBlockItsNumber) {
    std::string firstPath;
    {
        TChild killed({}, fDir);
        firstPath = Ready(killed).second;
        killed.Signal(SIGKILL);
        EXPECT_EQ(killed.Wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(Linked(1));
    TChild next({}, fDir);
    const auto [number, path] = Ready(next);
    // Another process (a test running beside this one) may have opened a terminal that took the
    // old number; the old link then points at a live terminal and rightly keeps COM1 taken.
    if (path != firstPath && fs::exists(firstPath))
        EXPECT_EQ(number, 2u);
    else
        EXPECT_EQ(number, 1u);
}

TEST_F(SimProgram, APlannedHangUpEndsTheProgramAndRemovesItsLink) {
    TChild child({"--no-pacing", "--fault", "1:hangup:1"}, fDir);
    const auto [number, path] = Ready(child);
    TPeer peer(path);
    peer.Send(Frame(TCommandType::ctU3AC_PTCT));
    EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_FALSE(Linked(number));
    EXPECT_TRUE(peer.Receive(200ms).Hangup);
}

TEST_F(SimProgram, BadOptionsAndLinesThatCannotOpenAreRefused) {
    struct TCase {
        std::vector<std::string> Arguments;
        int Status;
        const char* Says;
    } cases[] = {
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--fault", "1:loud"}, 2, "unknown kind 'loud'"},
        {{"--current", "2:100"}, 2, "slave 2: St would need"},
        {{"--baud", "14400"}, 2, "not a standard speed"},
        {{"--device", "/nonexistent/ttyX"}, 1, "cannot open /nonexistent/ttyX"},
        {{"--device", "/dev/null"}, 1, "/dev/null is not a serial line"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Arguments[0]);
        TChild child(c.Arguments, fDir);
        EXPECT_EQ(child.Wait(), c.Status);
        EXPECT_NE(child.Rest(true).find(c.Says), std::string::npos);
        EXPECT_EQ(child.Rest(false), "");
    }
    EXPECT_TRUE(fs::is_empty(fDir));

    TChild help({"--help"}, fDir);
    EXPECT_EQ(help.Wait(), 0);
    const std::string usage = help.Rest(false);
    EXPECT_EQ(usage.rfind("Usage: px4610-sim", 0), 0u);
    EXPECT_NE(usage.find("--fault S:hangup:N"), std::string::npos);
}
