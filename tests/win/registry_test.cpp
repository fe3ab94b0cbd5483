// The registry over its text file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "win_test_util.h"

namespace {

using win_test::ReadFile;
using win_test::WriteFile;

class WinRegistry : public ::testing::Test {
 protected:
  WinRegistry() : file_(dir_ / "registry.ini"), env_("WINREG_FILE", file_) {}
  ~WinRegistry() override {
    for (HKEY key : open_) RegCloseKey(key);
  }

  HKEY Create(HKEY parent, const char* sub, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, sub, 0, nullptr, 0, access, nullptr, &key, nullptr), ERROR_SUCCESS) << sub;
    open_.push_back(key);
    return key;
  }
  HKEY Open(HKEY parent, const char* sub, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, sub, 0, access, &key), ERROR_SUCCESS) << sub;
    open_.push_back(key);
    return key;
  }
  static LSTATUS SetString(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
  }
  static LSTATUS SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  static std::string GetString(HKEY key, const char* name) {
    char buf[1024];
    DWORD size = sizeof buf;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size) != ERROR_SUCCESS) {
      return "<missing>";
    }
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, std::strlen(buf) + 1);
    return buf;
  }
  std::string Text() const { return ReadFile(file_); }

  win_test::TempDir dir_;
  std::string file_;
  win_test::ScopedEnv env_;
  std::vector<HKEY> open_;
};

TEST_F(WinRegistry, ValuesRoundTripThroughTheFile) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\TeskSave.EXE");
  ASSERT_EQ(SetString(key, "AppID", "{DB53B054-046C-48FD-81B8-017060D70E3A}"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, nullptr, "quote \" and \\ back"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "Count", 31), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, "Lines", "one\ntwo"), ERROR_SUCCESS);
  const BYTE blob[] = {0x00, 0x7F, 0xFF};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, "Umlaut \"\xC3\xA4\"", "Gr\xC3\xBC\xC3\x9F" "e"), ERROR_SUCCESS);

  EXPECT_EQ(Text(),
            "[HKEY_CLASSES_ROOT\\AppID]\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\AppID\\TeskSave.EXE]\n"
            "\"AppID\"=\"{DB53B054-046C-48FD-81B8-017060D70E3A}\"\n"
            "@=\"quote \\\" and \\\\ back\"\n"
            "\"Count\"=dword:0000001f\n"
            "\"Lines\"=hex(1):6f,6e,65,0a,74,77,6f,00\n"
            "\"Blob\"=hex:00,7f,ff\n"
            "\"Umlaut \\\"\xC3\xA4\\\"\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\n");

  // A fresh handle reads everything back from the file.
  HKEY again = Open(HKEY_CLASSES_ROOT, "appid\\teSKsave.exe");
  EXPECT_EQ(GetString(again, "appid"), "{DB53B054-046C-48FD-81B8-017060D70E3A}");
  EXPECT_EQ(GetString(again, ""), "quote \" and \\ back");
  EXPECT_EQ(GetString(again, "Lines"), "one\ntwo");
  EXPECT_EQ(GetString(again, "umlaut \"\xC3\xA4\""), "Gr\xC3\xBC\xC3\x9F" "e");
  DWORD count = 0;
  DWORD size = sizeof count;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(again, "COUNT", nullptr, &type, reinterpret_cast<LPBYTE>(&count), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(count, 31u);
  BYTE back[8];
  size = sizeof back;
  EXPECT_EQ(RegQueryValueExA(again, "Blob", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(back, blob, 3), 0);

  // Setting a value again keeps its place; the file is the same.
  const std::string before = Text();
  ASSERT_EQ(SetString(key, "appid", "{DB53B054-046C-48FD-81B8-017060D70E3A}"), ERROR_SUCCESS);
  EXPECT_EQ(Text(), before);
}

TEST_F(WinRegistry, ReadsChangesMadeByOthersAndKeepsEmptyKeys) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Tesk\\Empty");
  EXPECT_EQ(Text(),
            "[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Tesk]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tesk\\Empty]\n");
  // Someone edits the file by hand.
  WriteFile(file_, Text() + "\"Added\"=\"by hand\"\n\n[HKCU\\Software\\Other]\n@=dword:00000002\n");
  EXPECT_EQ(GetString(key, "Added"), "by hand");
  HKEY other = Open(HKEY_CURRENT_USER, "Software\\Other");
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(other, nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
}

TEST_F(WinRegistry, QueryReportsSizesAndMissingValues) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Sizes");
  ASSERT_EQ(SetString(key, "Name", "12345"), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  char buf[6];
  size = 5;
  type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Other", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // A string given without its terminator is stored the same.
  ASSERT_EQ(RegSetValueExA(key, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "Bare"), "abc");

  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
}

TEST_F(WinRegistry, ReadOnlyKeysRefuseWrites) {
  HKEY writable = Create(HKEY_LOCAL_MACHINE, "Software\\Locked");
  ASSERT_EQ(SetString(writable, "Keep", "me"), ERROR_SUCCESS);
  const std::string before = Text();

  HKEY readOnly = Open(HKEY_LOCAL_MACHINE, "Software\\Locked", KEY_READ);
  EXPECT_EQ(SetString(readOnly, "New", "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetString(readOnly, "Keep", "changed"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(readOnly, "Keep"), ERROR_ACCESS_DENIED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(readOnly, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(sub, nullptr);
  EXPECT_EQ(RegDeleteTreeA(readOnly, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Text(), before);
  EXPECT_EQ(GetString(readOnly, "Keep"), "me");

  // Opening an existing subkey through a read-only parent is fine.
  Create(writable, "Sub");
  DWORD disposition = 0;
  EXPECT_EQ(RegCreateKeyExA(readOnly, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(sub);

  // Write-only handles cannot read.
  HKEY writeOnly = Open(HKEY_LOCAL_MACHINE, "Software\\Locked", KEY_WRITE);
  EXPECT_EQ(GetString(writeOnly, "Keep"), "<missing>");
  EXPECT_EQ(SetString(writeOnly, "Keep", "again"), ERROR_SUCCESS);
}

TEST_F(WinRegistry, DeleteKeyNeedsAKeyWithoutSubkeys) {
  Create(HKEY_CURRENT_USER, "Software\\Tree\\Leaf");
  HKEY tree = Open(HKEY_CURRENT_USER, "Software\\Tree", KEY_ALL_ACCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tree"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(tree, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(tree, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);  // a root stays
  EXPECT_EQ(RegDeleteKeyA(tree, "LEAF"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tree"), ERROR_SUCCESS);

  // The handle of a deleted key reports it.
  EXPECT_EQ(SetString(tree, "x", "y"), ERROR_KEY_DELETED);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(tree, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(Text(), "[HKEY_CURRENT_USER\\Software]\n");

  // Trees go at once; a null subkey only empties the key.
  HKEY top = Create(HKEY_CURRENT_USER, "Software\\Big");
  Create(top, "A\\B\\C");
  Create(top, "D");
  ASSERT_EQ(SetString(top, "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(top, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Text(), "[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Big]\n");
  Create(top, "A\\B");
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\big"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\big"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Text(), "[HKEY_CURRENT_USER\\Software]\n");
}

TEST_F(WinRegistry, EnumeratesSubkeysInOrderAndValuesInFileOrder) {
  HKEY root = Create(HKEY_CURRENT_USER, "Software\\Enum");
  for (const char* name : {"beta", "Alpha", "gamma", "alpha2"}) Create(root, name);
  Create(root, "beta\\nested");
  ASSERT_EQ(SetDword(root, "z", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetString(root, "a", "2"), ERROR_SUCCESS);

  std::vector<std::string> names;
  char name[16];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    const LSTATUS rc = RegEnumKeyExA(root, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(cch, std::strlen(name));
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha2", "beta", "gamma"}));
  DWORD cch = 5;
  EXPECT_EQ(RegEnumKeyExA(root, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  DWORD type = 0;
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(root, 0, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "z");
  EXPECT_EQ(type, REG_DWORD);
  cch = sizeof name;
  char data[8];
  DWORD size = sizeof data;
  EXPECT_EQ(RegEnumValueA(root, 1, name, &cch, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size), ERROR_SUCCESS);
  EXPECT_STREQ(data, "2");
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(root, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(WinRegistry, CorruptFilesAreReadAsFarAsTheyMakeSense) {
  WriteFile(file_,
            "Windows Registry Editor Version 5.00\n"
            "\"Orphan\"=\"before any key\"\n"
            "[HKEY_CURRENT_USER\\Software\\Good]\r\n"
            "\"Name\"=\"ok\"\r\n"
            "\"Unterminated=\"x\n"
            "\"Dword\"=dword:xyz\n"
            "\"TooLong\"=dword:123456789\n"
            "\"Hex\"=hex:0g\n"
            "\"Wrapped\"=hex:01,02,\\\n"
            "  03\n"
            "garbage without equals\n"
            "[HKEY_NOWHERE\\Lost]\n"
            "\"Lost\"=\"value\"\n"
            "[HKEY_CURRENT_USER\\Software\\Broken\n"
            "\"AlsoLost\"=\"value\"\n"
            "[HKLM\\Short]\n"
            "@=\"short root\"\n" +
                std::string("\0\xFF\xFE binary\n", 11));
  HKEY good = Open(HKEY_CURRENT_USER, "Software\\Good", KEY_ALL_ACCESS);
  EXPECT_EQ(GetString(good, "Name"), "ok");
  for (const char* bad : {"Unterminated", "Dword", "TooLong", "Hex", "Orphan"}) {
    EXPECT_EQ(RegQueryValueExA(good, bad, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND) << bad;
  }
  BYTE wrapped[4];
  DWORD size = sizeof wrapped;
  ASSERT_EQ(RegQueryValueExA(good, "Wrapped", nullptr, nullptr, wrapped, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(wrapped[2], 3);
  EXPECT_EQ(GetString(Open(HKEY_LOCAL_MACHINE, "Short"), nullptr), "short root");

  // Writing keeps what made sense and drops the rest.
  ASSERT_EQ(SetDword(good, "Fixed", 1), ERROR_SUCCESS);
  EXPECT_EQ(Text(),
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Good]\n"
            "\"Name\"=\"ok\"\n"
            "\"Wrapped\"=hex:01,02,03\n"
            "\"Fixed\"=dword:00000001\n\n"
            "[HKEY_LOCAL_MACHINE\\Short]\n"
            "@=\"short root\"\n");
}

TEST_F(WinRegistry, FileLocationAndFolderCreation) {
  const std::string nested = dir_ / "a/b/registry.ini";
  win_test::ScopedEnv file("WINREG_FILE", nested);
  EXPECT_STREQ(RegistryFilePath(), nested.c_str());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  Create(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(ReadFile(nested), "[HKEY_CURRENT_USER\\Software]\n");

  win_test::ScopedEnv noFile("WINREG_FILE", std::nullopt);
  {
    win_test::ScopedEnv xdg("XDG_CONFIG_HOME", dir_ / "xdg");
    EXPECT_EQ(std::string(RegistryFilePath()), dir_ / "xdg/winreg/registry.ini");
  }
  win_test::ScopedEnv xdg("XDG_CONFIG_HOME", "");
  win_test::ScopedEnv home("HOME", dir_ / "home");
  EXPECT_EQ(std::string(RegistryFilePath()), dir_ / "home/.config/winreg/registry.ini");
  Create(HKEY_CURRENT_USER, "Software\\AtHome");
  EXPECT_NE(ReadFile(dir_ / "home/.config/winreg/registry.ini").find("AtHome"), std::string::npos);
}

TEST_F(WinRegistry, HandlesAreChecked) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Handles");
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  HKEY bogus = reinterpret_cast<HKEY>(&key);
  EXPECT_EQ(SetString(bogus, "x", "y"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  HKEY same = Open(key, nullptr, KEY_READ);
  EXPECT_NE(same, key);
  EXPECT_EQ(GetString(same, "nothing"), "<missing>");
  EXPECT_EQ(RegCreateKeyExA(key, "bad\nname", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &same, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(WinRegistry, ConcurrentWritersLoseNothing) {
  // Two other processes and two threads of this one change the file at once.
  const std::string probe = std::string("WIN_PROBE_MODE=regwrite WIN_PROBE_COUNT=25 WINREG_FILE='") + file_ +
                            "' '" WIN_PROBE_PATH "'";
  std::vector<std::thread> writers;
  for (const char* prefix : {"p", "q"}) {
    writers.emplace_back([&, prefix] {
      int status = -1;
      win_test::RunShell("WIN_PROBE_PREFIX=" + std::string(prefix) + " " + probe, &status);
      EXPECT_EQ(status, 0);
    });
  }
  for (const char* prefix : {"t", "u"}) {
    writers.emplace_back([prefix] {
      for (int i = 0; i < 25; ++i) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(SetDword(key, (prefix + std::to_string(i)).c_str(), static_cast<DWORD>(i)), ERROR_SUCCESS);
        RegCloseKey(key);
      }
    });
  }
  for (std::thread& t : writers) t.join();
  HKEY key = Open(HKEY_CURRENT_USER, "Software\\Probe");
  DWORD index = 0;
  char name[32];
  DWORD cch = sizeof name;
  while (RegEnumValueA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    ++index;
    cch = sizeof name;
  }
  EXPECT_EQ(index, 100u);
}

}  // namespace
