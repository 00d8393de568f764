// The console host: its command-line text work, and the program itself run
// on scripts against the plugin and the registered engine.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tools/host/command_line.h"
#include "tools/host/progress_display.h"

namespace {

TEST(HostCommandLine, SplitsAtBlanksAndKeepsQuotedBlanksAndBackslashes) {
    const struct {
        const char* line;
        std::vector<std::string> parts;
    } cases[] = {
        {"ls", {"ls"}},
        {"  cd   \\work\\photos  ", {"cd", "\\work\\photos"}},
        {"open \"Create new bucket(F7)\"", {"open", "Create new bucket(F7)"}},
        {"mv a\" b\"c d", {"mv", "a bc", "d"}},
        {"put \"\"", {"put", ""}},
        {"get \"unclosed name", {"get", "unclosed name"}},
        {"\t\r\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.parts, SplitCommand(c.line));
    }
}

TEST(HostCommandLine, ResolvesPathsFromTheCurrentDirectoryNeverAboveTheRoot) {
    const struct {
        const char* current;
        const char* argument;
        const char* resolved;
    } cases[] = {
        {"\\", "work", "\\work"},
        {"\\work", "photos\\2009", "\\work\\photos\\2009"},
        {"\\work\\photos", "..", "\\work"},
        {"\\work\\photos", "..\\..\\..\\..", "\\"},
        {"\\work\\photos", "\\play", "\\play"},
        {"\\work", ".\\photos\\\\a.jpg", "\\work\\photos\\a.jpg"},
        {"\\work", "photos\\old/", "\\work\\photos\\old/"},
        {"\\work", ".", "\\work"},
        {"\\", "", "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.current) + " + " + c.argument);
        EXPECT_EQ(c.resolved, ResolveRemote(c.current, c.argument));
    }
    EXPECT_EQ("\\work", RemoteParent("\\work\\photos"));
    EXPECT_EQ("\\", RemoteParent("\\work"));
    EXPECT_EQ("a.jpg", LastPart("C:\\temp\\a.jpg"));
    EXPECT_EQ("1,234,567", GroupedNumber(1234567));
    EXPECT_EQ("999", GroupedNumber(999));
}

TEST(HostProgress, DrawsClampedBarsAndShortensLongNamesFromTheLeft) {
    EXPECT_EQ("[----]", ProgressBar(-1, 4));
    EXPECT_EQ("[##--]", ProgressBar(50, 4));
    EXPECT_EQ("[####]", ProgressBar(150, 4));
    EXPECT_EQ("  [##########----------]  50%  ...\\c.bin -> ...",
              progress_display::Line("\\a\\b\\c.bin", nullptr, 50, 9));
}

// Runs corvanel_host.exe on a script; its output and exit status.
struct HostRun {
    DWORD status;
    std::string output;
};

class HostProgramTest : public E2eTest {
protected:
    HostRun Run(const std::string& script, const std::string& plugin = "") {
        // Files of their own for each run: a process that Wine starts beside
        // the host (its background services) may inherit and keep the last
        // run's output open, which a reused name would then read back.
        const std::string run = std::to_string(++runs_);
        const std::string scriptFile = root_ + "\\script" + run + ".txt";
        WriteBytes(scriptFile, script);
        const std::string outputFile = root_ + "\\output" + run + ".txt";
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
        std::string command = "\"" + BesideTestProgram(kHostProgram) + "\" --script \"" +
                              scriptFile + "\" " + plugin;
        PROCESS_INFORMATION process = {};
        HostRun result = {9999, ""};
        if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                           local_.c_str(), &startup, &process)) {
            WaitForSingleObject(process.hProcess, INFINITE);
            GetExitCodeProcess(process.hProcess, &result.status);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(output);
        result.output = ReadBytes(outputFile);
        for (std::size_t at; (at = result.output.find("\r\n")) != std::string::npos;) {
            result.output.erase(at, 1);
        }
        return result;
    }

private:
    int runs_ = 0;
};

TEST_F(HostProgramTest, AModuleWithoutTheExportsIsReportedNotCalled) {
    const HostRun run = Run("ls\n", "\"" + BesideTestProgram("corvanel_engine.dll") + "\"");
    EXPECT_EQ(2u, run.status);
    EXPECT_NE(std::string::npos, run.output.find("does not export FsInit")) << run.output;
}

TEST_F(HostProgramTest, ScriptStatusCountsOnlyUnexpectedFailures) {
    MakeStore({{"work\\photos\\a.jpg", "A"}});
    const HostRun failing = Run("rm \\work\\photos\\a.jpg\nrm \\work\\photos\\a.jpg\n");
    EXPECT_EQ(1u, failing.status) << failing.output;
    EXPECT_FALSE(IsFile(Store("work\\photos\\a.jpg")));
    const HostRun expected = Run("# narration\n-rm \\work\\photos\\a.jpg\nnonsense-is-fine?\n");
    EXPECT_EQ(1u, expected.status) << "an unknown command is a failure";
    const HostRun clean = Run("# narration\n-rm \\work\\photos\\a.jpg\n");
    EXPECT_EQ(0u, clean.status) << clean.output;
    EXPECT_NE(std::string::npos, clean.output.find("\n# narration\n")) << clean.output;
}

}  // namespace

TEST_F(HostProgramTest, ATransferOntoAnExistingFileAsksAndReplacesOnlyOnYes) {
    const struct {
        const char* script;
        const char* local;
        const char* stored;
    } cases[] = {
        {"get \\work\\photos\\a.jpg a.jpg\nn\n", "local", "A"},
        {"get \\work\\photos\\a.jpg a.jpg\ny\n", "A", "A"},
        {"put a.jpg \\work\\photos\\a.jpg\nn\n", "local", "A"},
        {"put a.jpg \\work\\photos\\a.jpg\ny\n", "local", "local"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        RemoveTree(store_);
        MakeStore({{"work\\photos\\a.jpg", "A"}});
        WriteBytes(Local("a.jpg"), "local");
        const HostRun run = Run(c.script);
        EXPECT_EQ(0u, run.status) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(" exists. Overwrite it? [y/n] ")) << run.output;
        EXPECT_EQ(c.local, ReadBytes(Local("a.jpg")));
        EXPECT_EQ(c.stored, ReadBytes(Store("work\\photos\\a.jpg")));
    }
}
