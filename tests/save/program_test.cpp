// The program as a whole: where its log file goes and what happens when it
// cannot be written, and the registration of its application identifier.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "save_util.h"

namespace {

using namespace save_test;
using testing_support::Mapiadmin;
using testing_support::Quote;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

// A start without both paths wants its window; there is no display here.
const char kNoDisplay[] = "TeskSave: no display available: neither DISPLAY nor WAYLAND_DISPLAY is set\n";
const char kInbox[] = "Personal Folders\\Inbox";

// Expects "<stem> YYYYMMDD_HHMMSS.log" with a time of the run.
void ExpectLogName(const std::string& file, const std::string& stem, const RunResult& r) {
  ASSERT_EQ(file.size(), stem.size() + 20) << file;
  EXPECT_EQ(file.substr(0, stem.size() + 1), stem + " ") << file;
  EXPECT_EQ(file.substr(stem.size() + 16), ".log") << file;
  bool inRun = false;
  for (std::time_t t = r.start; t <= r.end; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
    inRun |= file.substr(stem.size() + 1, 15) == stamp;
  }
  EXPECT_TRUE(inRun) << file;
}

using SaveLog = SaveTest;

TEST_F(SaveLog, LogFileLiesNextToTheProgram) {
  // The extension of the program's name is cut, a dot in its folder is not.
  const std::string elsewhere = NewDir("cwd");
  const std::string dotted = NewDir("bin.d");
  const RunResult a = Run({}, "cd " + Quote(elsewhere) + " &&", dotted, "TeskSave");
  ASSERT_EQ(a.logFiles.size(), 1u);
  ExpectLogName(a.logFiles[0], "TeskSave", a);
  EXPECT_EQ(a.output, kNoDisplay);
  EXPECT_EQ(a.lines, Names{});
  EXPECT_TRUE(fs::is_empty(elsewhere));

  const RunResult b = Run({}, "", NewDir("bin"), "TeskSave.exe");
  ASSERT_EQ(b.logFiles.size(), 1u);
  ExpectLogName(b.logFiles[0], "TeskSave", b);
  EXPECT_TRUE(b.log.starts_with(kLogHeader));
  EXPECT_EQ(b.lines, Names{});
}

TEST_F(SaveLog, StartsInTheSameSecondShareTheLogAndKeepEveryLine) {
  // Two starts in one folder: in different seconds each has its own log; in
  // the same second they share the name, and both runs' lines stay in it
  // (the second start appends, it never empties the first one's file). Both
  // runs fail at once here: each names the log on standard error, and that
  // log holds its ERROR line.
  const std::string bin = NewDir("bin");
  const std::string exe = InstallProgram(bin);
  const std::string logonFailed =
      "ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon to MAPI., module: TeskSave, line: 114";
  const std::string run = "env -u DISPLAY -u WAYLAND_DISPLAY " + Quote(exe) + " Nobody " + Quote(kInbox) + " Archive";
  std::vector<std::string> logs;
  std::string output;
  std::time_t start = 0, end = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    for (const auto& entry : fs::directory_iterator(bin))
      if (entry.path().extension() == ".log") fs::remove(entry.path());
    const auto now = std::chrono::system_clock::now();
    std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) + std::chrono::milliseconds(20));
    start = std::time(nullptr);
    // Each run's exit code on a line of its own after its output.
    const int code = testing_support::RunCommand(
        "(" + run + " 2>&1; echo \"exit $?\") & (" + run + " 2>&1; echo \"exit $?\") & wait", &output);
    end = std::time(nullptr);
    ASSERT_EQ(code, 0) << output;
    logs.clear();
    for (const auto& entry : fs::directory_iterator(bin))
      if (entry.path().extension() == ".log") logs.push_back(entry.path().string());
    if (logs.size() == 1) break;
  }
  ASSERT_EQ(logs.size(), 1u) << "the two starts never fell into the same second";
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
  size_t exits = 0;
  for (size_t at = output.find("exit 1\n"); at != std::string::npos; at = output.find("exit 1\n", at + 1)) ++exits;
  EXPECT_EQ(exits, 2u) << output;
  // Both name the one log on standard error.
  const std::string named = "TeskSave: the run logged errors; the log is " + logs[0] + "\n";
  size_t namings = 0;
  for (size_t at = output.find(named); at != std::string::npos; at = output.find(named, at + 1)) ++namings;
  EXPECT_EQ(namings, 2u) << output;

  // Two headers (each with its empty line), two ERROR lines and the WARNING
  // lines with their reason, every line whole.
  const std::string log = ReadFile(logs[0]);
  const std::string header = kLogHeader;
  ASSERT_TRUE(log.starts_with(header)) << log;
  std::string rest = log;
  size_t headers = 0;
  for (size_t at = rest.find(header); at != std::string::npos; at = rest.find(header)) {
    rest.erase(at, header.size());
    ++headers;
  }
  EXPECT_EQ(headers, 2u) << log;
  const std::string why = "WARNING: there is no profile \"Nobody\" (no file " + (profile.dir / "config/Nobody.toml") + ")";
  Names lines = ParseLog(header + rest, start, end);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (Names{logonFailed, logonFailed, why, why})) << log;
}

TEST_F(SaveLog, UnwritableProgramFolder) {
  Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Sub") + " --messages 4 --seed 4");
  const auto inbox = Tree(kInbox);
  std::string prefix;
  if (::geteuid() == 0) {
    // Root may write anywhere: run the program as another user who owns
    // everything of the test but the program's folder.
    if (::access("/usr/bin/setpriv", X_OK) != 0 && ::access("/bin/setpriv", X_OK) != 0)
      GTEST_SKIP() << "setpriv is not installed";
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    const uid_t user = 65534;
    ASSERT_EQ(::chown(profile.dir.path().c_str(), user, user), 0);
    for (const auto& entry : fs::recursive_directory_iterator(profile.dir.path()))
      ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0) << entry.path();
  }
  const std::string bin = NewDir("bin");  // created by the test's own user
  InstallProgram(bin);
  fs::permissions(bin, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  if (prefix.empty()) fs::permissions(bin, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                      fs::perm_options::remove);
  ASSERT_NE(testing_support::RunCommand(prefix + " touch " + Quote(bin + "/probe") + " 2>/dev/null"), 0)
      << "the folder is writable after all";

  const RunResult saved = Run({"Test", kInbox, "Archive"}, prefix, bin);
  EXPECT_EQ(saved.exitCode, 0);
  const RunResult failed = Run({"Test", "Personal Folders\\Nope", "Archive"}, prefix, bin);
  EXPECT_EQ(failed.exitCode, 1);
  // A start without arguments asks for the dialog, which has no display here.
  const RunResult warned = Run({}, prefix, bin);
  EXPECT_EQ(warned.exitCode, 2);
  EXPECT_TRUE(warned.logFiles.empty());

  fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
  // The save went on without its log.
  const Names names = ChildNames("Archive");
  ASSERT_EQ(names.size(), 2u);
  const std::string name = names[0] == "Deleted Items" ? names[1] : names[0];
  ExpectStampedName(name, kInbox, saved);
  EXPECT_EQ(Tree("Archive\\" + name), inbox);
}

// --- registration ---------------------------------------------------------------------

const char kAppIdKey[] = "AppID\\{DB53B054-046C-48FD-81B8-017060D70E3A}";
const char kExeKey[] = "AppID\\TeskSave.EXE";

std::string RegString(const char* key, const char* value) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
  char buf[512] = {};
  DWORD size = sizeof buf - 1, type = 0;
  const LSTATUS rc = RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return "<no value>";
  return type == REG_SZ ? std::string(buf) : "<not a string>";
}

bool KeyExists(const char* key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

class SaveRegistry : public SaveTest {
 protected:
  void SetUp() override {
    // Someone else's entry below AppID.
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "AppID\\Other.EXE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    const std::string value = "{00000000-0000-0000-0000-000000000001}";
    ASSERT_EQ(RegSetValueExA(h, "AppID", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  void ExpectRegistered(bool registered) {
    if (registered) {
      EXPECT_EQ(RegString(kAppIdKey, nullptr), "TeskSave");
      EXPECT_EQ(RegString(kExeKey, "AppID"), "{DB53B054-046C-48FD-81B8-017060D70E3A}");
    } else {
      EXPECT_FALSE(KeyExists(kAppIdKey));
      EXPECT_FALSE(KeyExists(kExeKey));
    }
    EXPECT_TRUE(KeyExists("AppID"));
    EXPECT_EQ(RegString("AppID\\Other.EXE", "AppID"), "{00000000-0000-0000-0000-000000000001}");
  }
  void ExpectQuietExit(const RunResult& r) {
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.logFiles.empty());
  }
};

TEST_F(SaveRegistry, RegisterAndUnregister) {
  ExpectQuietExit(Run({"-RegServer"}));
  ExpectRegistered(true);
  const std::string text = ReadFile(registryFile);
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\AppID\\{DB53B054-046C-48FD-81B8-017060D70E3A}]\n@=\"TeskSave\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\AppID\\TeskSave.EXE]\n\"AppID\"=\"{DB53B054-046C-48FD-81B8-017060D70E3A}\"\n"),
            std::string::npos)
      << text;
  ExpectQuietExit(Run({"/regserver"}));  // again, in any case: the same registry
  EXPECT_EQ(ReadFile(registryFile), text);

  ExpectQuietExit(Run({"-UnregServer"}));
  ExpectRegistered(false);
  ExpectQuietExit(Run({"/UNREGSERVER"}));  // nothing left to remove
  ExpectRegistered(false);
}

TEST_F(SaveRegistry, SwitchMustEndTheCommandLine) {
  const auto archive = Tree("Archive");
  // Anything after the switch makes it an ordinary start.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-RegServer", "x"},
                                               std::vector<std::string>{"-RegServerX"},
                                               std::vector<std::string>{"-UnregServer", ""}}) {
    SCOPED_TRACE(args[0]);
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, kNoDisplay);
    ASSERT_EQ(r.logFiles.size(), 1u);
    EXPECT_EQ(r.lines, Names{});
    ExpectRegistered(false);
  }
  // As the last word it wins over a complete save command line.
  ExpectQuietExit(Run({"Test", kInbox, "Archive", "-RegServer"}));
  ExpectRegistered(true);
  ExpectQuietExit(Run({"-t", "Test", kInbox, "Archive", "/UnRegServer"}));
  ExpectRegistered(false);
  EXPECT_EQ(Tree("Archive"), archive);
}

TEST_F(SaveRegistry, ASwitchInsideAnArgumentIsPartOfThatArgument) {
  // The keyword ends the last argument, not the command line: a save, which
  // finds no such target, logs it and fails.
  const RunResult r = Run({"-t", "", kInbox, "Archive\\Server -RegServer"});
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.logFiles.size(), 1u);
  EXPECT_EQ(r.lines, (Names{"Successfully logged on to MAPI.",
                            "ERROR: Subfolder Server -RegServer not found!, module: MAPIFolderFind, line: 173"}))
      << r.log;
  ExpectRegistered(false);
  const RunResult quoted = Run({"Test", kInbox, "Archive", "say \"-UnregServer\""});
  EXPECT_EQ(quoted.logFiles.size(), 1u);
}

}  // namespace

namespace {

using testing_support::Quote;
using testing_support::RunCommand;

// Hides every Qt library of the machine from what follows the prefix (a
// private mount namespace with the files covered), or says why it cannot.
std::string HideQt(std::string* why) {
  std::string out;
  if (RunCommand("unshare -m true 2>&1", &out) != 0) {
    *why = "no private mount namespace here: " + out;
    return {};
  }
  return "unshare -m sh -c 'for f in /usr/lib/*/libQt6*.so*; do [ -f \"$f\" ] && mount --bind /dev/null \"$f\"; "
         "done; exec \"$@\"' sh";
}

TEST_F(SaveTest, TheBatchRoadNeedsNoQtLibrary) {
  std::string needed;
  ASSERT_EQ(RunCommand("readelf -d " + Quote(TESKSAVE_PATH) + " && ldd " + Quote(TESKSAVE_PATH), &needed), 0);
  EXPECT_EQ(needed.find("Qt"), std::string::npos) << needed;

  std::string why;
  const std::string prefix = HideQt(&why);
  if (prefix.empty()) GTEST_SKIP() << why;
  const RunResult saved = Run({"Test", kInbox, "Archive"}, prefix);
  EXPECT_EQ(saved.exitCode, 0) << saved.output << saved.log;
  ExpectSuccess(saved, kInbox, "Archive");

  // The dialog road says in one line that it cannot load its dialogs.
  const std::string bin = NewDir("dialog");
  const std::string exe = InstallProgram(bin);
  std::string output;
  EXPECT_EQ(RunCommand("cd " + Quote(bin) + " && " + prefix + " env QT_QPA_PLATFORM=offscreen " + Quote(exe) + " 2>&1",
                       &output),
            2);
  EXPECT_EQ(output.rfind("TeskSave: the dialogs cannot be loaded: ", 0), 0u) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

}  // namespace

namespace {

std::string LogNameAt(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
  return std::string("TeskSave ") + stamp + ".log";
}

TEST_F(SaveTest, TheLogIsTheOwnersAndNeverFollowsALinkPutInItsPlace) {
  const RunResult plain = Run({"Test", kInbox, "Archive"});
  ASSERT_EQ(plain.logFiles.size(), 1u);
  struct stat st {};
  ASSERT_EQ(::stat((plain.binDir + "/" + plain.logFiles[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Links at every name the next run's log may get, to a file of someone else.
  const std::string bin = NewDir("planted");
  const std::string victim = NewDir("victim") + "/precious.txt";
  std::ofstream(victim) << "keep me\n";
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 20; ++t) fs::create_symlink(victim, bin + "/" + LogNameAt(t));
  const RunResult r = Run({"Test", kInbox, "Archive"}, "", bin);
  EXPECT_EQ(ReadFile(victim), "keep me\n");
  for (const auto& name : r.logFiles) EXPECT_TRUE(fs::is_symlink(bin + "/" + name)) << name;
}

}  // namespace
