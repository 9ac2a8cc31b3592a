// kavro.exe as built: its icon, its version record and its application manifest, read from the
// file as Windows reads them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The program's path as Windows sees it: under Wine a Unix path lies on drive Z:.
std::wstring program_path() {
    std::wstring path;
    for (const char c : std::string(KAVRO_EXE_PATH)) path += c == '/' ? L'\\' : wchar_t(c);
    return path.rfind(L"\\", 0) == 0 ? L"Z:" + path : path;
}

}  // namespace

TEST(Win32Program, KavroExeCarriesItsIconAndTheVersionRecord) {
    const std::wstring path = program_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version record in " << KAVRO_EXE_PATH;
    std::vector<BYTE> record(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, record.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    // 0.0.2.0, file and product alike.
    EXPECT_EQ(fixed->dwFileVersionMS, 0u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00020000u);
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(text), L"0.0.2.0");

    HMODULE program = LoadLibraryExW(path.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr);
    HANDLE icon = LoadImageW(program, L"IDI_ICON1", IMAGE_ICON, 32, 32, 0);
    EXPECT_NE(icon, nullptr);
    if (icon != nullptr) DestroyIcon(static_cast<HICON>(icon));
    FreeLibrary(program);
}

namespace {

// The manifest's activation context, as the system makes it when kavro.exe starts.
class ProgramContext {
  public:
    ProgramContext() {
        const std::wstring path = program_path();
        ACTCTXW request{};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = path.c_str();
        request.lpResourceName = MAKEINTRESOURCEW(1);  // the process's manifest
        context_ = CreateActCtxW(&request);
    }
    ~ProgramContext() {
        if (valid()) ReleaseActCtx(context_);
    }
    bool valid() const { return context_ != INVALID_HANDLE_VALUE; }

    std::wstring setting(const wchar_t* space, const wchar_t* name) const {
        wchar_t value[64] = {};
        SIZE_T written = 0;
        if (!QueryActCtxSettingsW(0, context_, space, name, value, 64, &written)) return L"(none)";
        return value;
    }
    std::vector<BYTE> query(ULONG what, DWORD* index = nullptr) const {
        SIZE_T size = 0;
        QueryActCtxW(0, context_, index, what, nullptr, 0, &size);
        std::vector<BYTE> result(size);
        if (size == 0 || !QueryActCtxW(0, context_, index, what, result.data(), size, &size)) {
            result.clear();
        }
        return result;
    }

  private:
    HANDLE context_ = INVALID_HANDLE_VALUE;
};

bool holds(const std::vector<BYTE>& bytes, const GUID& id) {
    for (std::size_t i = 0; i + sizeof id <= bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, &id, sizeof id) == 0) return true;
    }
    return false;
}

}  // namespace

TEST(Win32Program, KavroExeCarriesAManifestForDpiCommonControlsSixItsWindowsAndNoElevation) {
    const ProgramContext context;
    ASSERT_TRUE(context.valid()) << "no manifest the system can read in " << KAVRO_EXE_PATH
                                 << " (error " << GetLastError() << ")";
    // Per-monitor v2, with per-monitor (or system, before Windows 8.1) as the older fallback.
    EXPECT_EQ(
        context.setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
        L"PerMonitorV2");
    EXPECT_EQ(context.setting(nullptr, L"dpiAware"), L"true/pm");

    // Windows 7, 8, 8.1 and 10 (which 11 shares).
    const std::vector<BYTE> compatibility =
        context.query(CompatibilityInformationInActivationContext);
    const GUID windows[] = {
        {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
        {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
        {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
        {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}},
    };
    for (const GUID& id : windows) EXPECT_TRUE(holds(compatibility, id)) << std::hex << id.Data1;

    const std::vector<BYTE> run_level = context.query(RunlevelInformationInActivationContext);
    ASSERT_GE(run_level.size(), sizeof(ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION));
    const auto& level =
        *reinterpret_cast<const ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION*>(run_level.data());
    EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(level.UiAccess, 0u);

    // The one assembly it depends on, as the system found it: common controls 6.
    DWORD second = 2;  // the first is the program's own
    const std::vector<BYTE> dependency =
        context.query(AssemblyDetailedInformationInActivationContext, &second);
    ASSERT_FALSE(dependency.empty());
    const std::wstring identity =
        reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(dependency.data())
            ->lpAssemblyEncodedAssemblyIdentity;
    EXPECT_EQ(identity.rfind(L"Microsoft.Windows.Common-Controls,", 0), 0u) << identity;
    EXPECT_NE(identity.find(L"version=\"6.0."), std::wstring::npos) << identity;
}
