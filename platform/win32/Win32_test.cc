// What only the Windows half promises: share modes, the library search
// rules, the ANSI code page and the API's own text conversions.
#include <gtest/gtest.h>

#include <chrono>

#include <vector>

#include "collect/DBProvider.h"
#include "common/Text.h"
#include "common/Version.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/Locale.h"
#include "platform/Process.h"
#include "platform/ServiceControl.h"
#include "platform/win32/WinApi.h"  // before the headers that need <windows.h>
#include "testsupport/TestSupport.h"

#include <aclapi.h>
#include <sddl.h>

namespace lumacor {
namespace {

using testing::ConfigScope;
using testing::TempDir;
using win32::Narrow;
using win32::UniqueHandle;
using win32::Widen;

UniqueHandle OpenForWriting(const std::string& path) {
  return UniqueHandle(::CreateFileW(Widen(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(Win32FileSystemTest, ReadRefusesAFileOpenForWriting) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string file = dir.Write("nota.xml", "<a/>");
  {
    UniqueHandle writer = OpenForWriting(file);
    ASSERT_TRUE(writer.valid());
    EXPECT_THROW(fs->ReadFile(file), PlatformError);
  }
  EXPECT_EQ(fs->ReadFile(file), "<a/>");
}

TEST(Win32FileSystemTest, AppendAllowsReadersButNoSecondWriter) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string file = dir.path() + "\\agente.log";
  auto log = fs->OpenAppend(file);
  log->Append("linha\r\n");
  UniqueHandle reader(::CreateFileW(Widen(file).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(reader.valid());
  EXPECT_FALSE(OpenForWriting(file).valid());
  EXPECT_THROW(fs->OpenAppend(file), PlatformError);
}

TEST(Win32FileSystemTest, CreatesFoldersWithEitherSeparator) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string mixed = dir.path() + "\\um/dois\\tr\xC3\xAAs";
  fs->CreateDirectories(mixed);
  EXPECT_TRUE(fs->DirectoryExists(dir.path() + "\\um\\dois\\tr\xC3\xAAs"));
  EXPECT_EQ(fs->FullPath(mixed), fs->FullPath(dir.path()) + "\\um\\dois\\tr\xC3\xAAs");
  EXPECT_EQ(fs->Separator(), '\\');
  EXPECT_EQ(fs->MaxPath(), 260u);
}

TEST(Win32FileSystemTest, HandleOwnerMovesWithoutLeakOrDoubleClose) {
  UniqueHandle a(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle b(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE first = a.get();
  HANDLE second = b.get();
  a = std::move(b);  // closes `first`
  EXPECT_EQ(a.get(), second);
  EXPECT_FALSE(b.valid());
  DWORD flags;
  EXPECT_FALSE(::GetHandleInformation(first, &flags));
  EXPECT_TRUE(::GetHandleInformation(second, &flags));
  a = std::move(a);
  EXPECT_EQ(a.get(), second);
}

// The stand-in client (lumacor_fakeclient) lies beside the tests as
// gds32.dll, libmysql.dll and libpq.dll; no fbclient.dll or libmariadb.dll
// is there, so the second name must be tried. It exports none of the
// client's functions: the message names the file that was loaded.
TEST(Win32DatabaseClientTest, ClientsLoadByTheirWindowsNamesFromTheAgentFolder) {
  struct Case {
    const char* type;
    std::string message;
  } cases[] = {
      {"firebird", "a biblioteca cliente 'gds32.dll' nao exporta isc_attach_database"},
      {"mysql", "a biblioteca cliente 'libmysql.dll' nao exporta mysql_init"},
      {"postgresql", "a biblioteca cliente 'libpq.dll' nao exporta PQconnectdbParams"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    TSincConfig config;
    config.DBType = c.type;
    config.DBName = "erp";
    config.DBUser = "sysdba";
    ConfigScope scope(config);
    TDBProvider provider;
    try {
      provider.GetConnection();
      FAIL() << "o cliente de teste nao deveria conectar";
    } catch (const DBError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("[banco] client_path"), std::string::npos) << e.what();
    }
  }
}

TEST(Win32DynamicLibraryTest, LoadsBySystemNameAndByPath) {
  DynamicLibrary kernel = DynamicLibrary::Open("kernel32.dll");
  EXPECT_NE(kernel.Find("GetTickCount"), nullptr);
  EXPECT_EQ(kernel.Find("NaoExiste"), nullptr);
  EXPECT_THROW(kernel.Require("NaoExiste"), PlatformError);

  // sqlite3.dll lies beside the test executable, as beside the agent.
  std::string dir = FolderOf(Process::Default()->ExecutablePath());
  DynamicLibrary by_path = DynamicLibrary::Open(dir + "\\sqlite3.dll");
  EXPECT_NE(by_path.Require("sqlite3_libversion"), nullptr);
  DynamicLibrary by_name = DynamicLibrary::Open("sqlite3.dll");
  EXPECT_EQ(by_name.Find("sqlite3_libversion"), by_path.Find("sqlite3_libversion"));

  try {
    DynamicLibrary::OpenFirst({"nao-existe-1.dll", dir + "\\nao-existe-2.dll"});
    FAIL() << "no library should load";
  } catch (const PlatformError& e) {
    EXPECT_NE(std::string(e.what()).find("nao-existe-2.dll"), std::string::npos) << e.what();
  }
  DynamicLibrary first = DynamicLibrary::OpenFirst({"nao-existe.dll", "kernel32.dll"});
  EXPECT_EQ(first.name(), "kernel32.dll");

  // Move assignment frees the library it replaces and keeps the other.
  first = std::move(by_path);
  EXPECT_TRUE(first.loaded());
  EXPECT_FALSE(by_path.loaded());
  EXPECT_NE(first.Find("sqlite3_libversion"), nullptr);
}

TEST(Win32LocaleTest, AnsiCodePageAndApiEdges) {
  ASSERT_EQ(::GetACP(), 1252u) << "the tests expect a Western European system";
  EXPECT_EQ(AnsiToUtf8("Jo\xE3o \x80 \xC7"), "Jo\xC3\xA3o \xE2\x82\xAC \xC3\x87");
  EXPECT_EQ(AnsiToUtf8(""), "");
  EXPECT_EQ(Narrow(Widen("a\xC3\xA7\xF0\x9F\x98\x80")), "a\xC3\xA7\xF0\x9F\x98\x80");
  EXPECT_EQ(Widen("\xC3\xA7").size(), 1u);
}

TEST(Win32ProcessTest, ExecutableAndEnvironment) {
  Process* p = Process::Default();
  std::string exe = p->ExecutablePath();
  EXPECT_TRUE(FileSystem::Default()->FileExists(exe)) << exe;
  EXPECT_TRUE(EndsWithIgnoreAsciiCase(exe, "\\lumacor_tests.exe")) << exe;

  std::string long_value(1000, 'v');
  long_value += "\xC3\xA7";
  ASSERT_TRUE(::SetEnvironmentVariableW(L"LUMACOR_TESTE", Widen(long_value).c_str()));
  EXPECT_EQ(p->GetEnv("LUMACOR_TESTE"), long_value);
  ::SetEnvironmentVariableW(L"LUMACOR_TESTE", nullptr);
  EXPECT_EQ(p->GetEnv("LUMACOR_TESTE"), "");
  EXPECT_FALSE(Clock::Default()->TimeSeparator().empty());
}

TEST(Win32ServiceControlTest, LibraryNameAndConsoleOutsideAConsole) {
  EXPECT_STREQ(SqliteLibraryFileName(), "sqlite3.dll");
  ServiceControl::Default()->ConsoleWriteLine("sem console: nada acontece");
}

// Not started by services.exe: the dispatcher is never called (under Wine
// it would wait about 10 s and mark the test process one that Wine may end
// at any moment), and the answer comes at once. A run that did reach the
// service manager would call this function, which must not happen.
void NeverRun(int, char**) { ADD_FAILURE() << "ServiceMain fora do gerenciador de servicos"; }

TEST(Win32ServiceControlTest, DispatcherRefusesAtOnceOutsideTheServiceManager) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ServiceControl::Default()->StartDispatcher("LumacorTeste", NeverRun));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The file properties Explorer and the installer show, read back from the
// agent built beside the tests.
TEST(Win32VersionResourceTest, AgentCarriesTheReleaseVersion) {
  std::string exe = Process::Default()->ExecutablePath();
  std::wstring agent = Widen(exe.substr(0, exe.find_last_of('\\') + 1) + "lumacor-relay.exe");
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(agent.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "sem recurso de versao";
  std::vector<char> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(agent.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwFileVersionMS,
            static_cast<DWORD>(LUMACOR_VERSION_MAJOR << 16 | LUMACOR_VERSION_MINOR));
  EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(LUMACOR_VERSION_PATCH << 16));

  for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"FileDescription"}) {
    wchar_t* value = nullptr;
    std::wstring path = std::wstring(L"\\StringFileInfo\\041604B0\\") + name;
    ASSERT_TRUE(
        ::VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &len))
        << Narrow(name);
    std::string text = Narrow(std::wstring(value, len > 0 ? len - 1 : 0));
    if (std::wstring(name) == L"FileDescription") {
      EXPECT_NE(text.find("Orvane Lumacor - Brevia"), std::string::npos) << text;
    } else {
      EXPECT_EQ(text, kVersion);
    }
  }
}

// Other local users get no way into the files that hold documents: the
// rights come from the agent, not from the folder above (ProgramData lets
// every user read).
TEST(Win32FileSystemTest, PrivateFilesAndFoldersShutOutOtherUsers) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string folder = dir.Path("dados\\config");
  fs->CreateDirectories(folder);
  fs->CreatePrivateFile(folder + "\\queue.db");
  fs->OpenAppend(dir.Path("sinc.log"))->Append("x");
  for (const std::string& path :
       {dir.Path("dados"), folder, folder + "\\queue.db", dir.Path("sinc.log")}) {
    SCOPED_TRACE(path);
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(
        ::GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, &dacl, nullptr, &sd),
        static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
    std::string text = Narrow(sddl);
    ::LocalFree(sddl);
    ::LocalFree(sd);
    // Nothing inherited from the folder above ("ID" marks an inherited
    // entry). Wine drops the protected flag itself, so that is not asked.
    EXPECT_EQ(text.find("ID;"), std::string::npos) << text << ": herda direitos da pasta acima";
    for (const char* other : {";;;WD)", ";;;BU)", ";;;AU)", ";;;IU)"}) {
      EXPECT_EQ(text.find(other), std::string::npos) << text;
    }
    EXPECT_NE(text.find(";;;SY)"), std::string::npos) << text;
  }
  // An existing file keeps its rights and its contents.
  std::string existing = dir.Write("antigo.db", "dados");
  fs->CreatePrivateFile(existing);
  EXPECT_EQ(testing::ReadFileBytes(existing), "dados");
}

}  // namespace
}  // namespace lumacor
