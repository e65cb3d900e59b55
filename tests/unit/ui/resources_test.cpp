// Reads the resources back from the built vxstarter.exe through the platform's resource functions and
// compares them field by field: both dialog templates in English and Japanese, the string table,
// the icon and the manifest. Other resource types may be added freely.
#include <windows.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "resource.h"
#include "system/scoped_handles.h"

namespace {

const WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
const DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
const DWORD kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD kCodeField =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_CENTER | ES_AUTOHSCROLL | ES_NUMBER;
const DWORD kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
const DWORD kBar = WS_CHILD | WS_VISIBLE | WS_BORDER;
// The atoms that stand for the predefined classes in a template.
const WORD kButtonAtom = 0x0080;
const WORD kEditAtom = 0x0081;
const WORD kStaticAtom = 0x0082;
const wchar_t kJapaneseFont[] = L"ＭＳ Ｐゴシック";

// A name or an ordinal as templates and resource directories store them.
struct NameOrOrdinal {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::wstring name;
};

struct Control {
    DWORD id;
    NameOrOrdinal windowClass;
    std::wstring text;
    DWORD style;
    DWORD exStyle;
    DWORD helpId;
    short x, y, cx, cy;
    WORD creationDataSize;
};

struct Dialog {
    bool extended = false;
    DWORD helpId = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::wstring caption;
    WORD pointSize = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charSet = 0;
    std::wstring font;
    std::vector<Control> controls;
};

// Walks a DLGTEMPLATE or DLGTEMPLATEEX; every read is checked against the resource's size.
class TemplateReader {
public:
    TemplateReader(const BYTE* data, DWORD size) : m_data(data), m_size(size) {}

    bool Fits(DWORD count) const { return m_offset + count <= m_size; }
    WORD Word() { return Read<WORD>(); }
    DWORD Dword() { return Read<DWORD>(); }
    short Short() { return static_cast<short>(Read<WORD>()); }
    BYTE Byte() { return Read<BYTE>(); }
    void AlignToDword() { m_offset = (m_offset + 3) & ~3u; }
    void Skip(DWORD count) { m_offset += count; }

    std::wstring String() {
        std::wstring text;
        for (WORD c = Word(); c != 0 && !m_failed; c = Word()) {
            text.push_back(static_cast<wchar_t>(c));
        }
        return text;
    }
    NameOrOrdinal Ordinal() {
        NameOrOrdinal value;
        const WORD first = Word();
        if (first == 0xFFFF) {
            value.isOrdinal = true;
            value.ordinal = Word();
        } else if (first != 0) {
            value.name.push_back(static_cast<wchar_t>(first));
            value.name += String();
        }
        return value;
    }
    bool Failed() const { return m_failed; }

private:
    template <typename T>
    T Read() {
        T value = 0;
        if (!Fits(sizeof(T))) {
            m_failed = true;
            return value;
        }
        memcpy(&value, m_data + m_offset, sizeof(T));
        m_offset += sizeof(T);
        return value;
    }

    const BYTE* m_data;
    DWORD m_size;
    DWORD m_offset = 0;
    bool m_failed = false;
};

Dialog ParseDialog(const BYTE* data, DWORD size) {
    TemplateReader reader(data, size);
    Dialog dialog;
    WORD count = 0;
    if (size >= 4 && reinterpret_cast<const WORD*>(data)[0] == 1 &&
        reinterpret_cast<const WORD*>(data)[1] == 0xFFFF) {
        dialog.extended = true;
        reader.Skip(4);  // version 1, signature 0xFFFF
        dialog.helpId = reader.Dword();
        dialog.exStyle = reader.Dword();
        dialog.style = reader.Dword();
    } else {
        dialog.style = reader.Dword();
        dialog.exStyle = reader.Dword();
    }
    count = reader.Word();
    dialog.x = reader.Short();
    dialog.y = reader.Short();
    dialog.cx = reader.Short();
    dialog.cy = reader.Short();
    dialog.menu = reader.Ordinal();
    dialog.windowClass = reader.Ordinal();
    dialog.caption = reader.String();
    if (dialog.style & DS_SETFONT) {
        dialog.pointSize = reader.Word();
        if (dialog.extended) {
            dialog.weight = reader.Word();
            dialog.italic = reader.Byte();
            dialog.charSet = reader.Byte();
        }
        dialog.font = reader.String();
    }
    for (WORD i = 0; i < count && !reader.Failed(); ++i) {
        reader.AlignToDword();
        Control control = {};
        if (dialog.extended) {
            control.helpId = reader.Dword();
            control.exStyle = reader.Dword();
            control.style = reader.Dword();
        } else {
            control.style = reader.Dword();
            control.exStyle = reader.Dword();
        }
        control.x = reader.Short();
        control.y = reader.Short();
        control.cx = reader.Short();
        control.cy = reader.Short();
        control.id = dialog.extended ? reader.Dword() : reader.Word();
        control.windowClass = reader.Ordinal();
        const NameOrOrdinal text = reader.Ordinal();
        control.text = text.name;
        control.creationDataSize = reader.Word();
        reader.Skip(control.creationDataSize);
        dialog.controls.push_back(control);
    }
    EXPECT_FALSE(reader.Failed()) << "the template is shorter than its fields";
    return dialog;
}

struct ExpectedControl {
    DWORD id;
    WORD classAtom;  // 0: the class is the progress bar's, by name
    const wchar_t* text;
    DWORD style;
    short x, y, cx, cy;
};

struct ExpectedDialog {
    WORD language;
    const wchar_t* caption;
    WORD pointSize;
    const wchar_t* font;
    short cx, cy;
    std::vector<ExpectedControl> controls;
};

// A control identifier as the template stores it: a WORD in a DLGTEMPLATE, a DWORD in a DLGTEMPLATEEX.
DWORD StoredId(int id, bool extended) {
    return extended ? static_cast<DWORD>(id) : static_cast<WORD>(id);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        char buffer[8] = {};
        snprintf(buffer, sizeof(buffer), c < 0x80 ? "%c" : "\\u%04X", static_cast<unsigned>(c));
        out += buffer;
    }
    return out;
}

class ResourcesTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // The tests run from <build>/tests; the starter lies in <build>.
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        for (int level = 0; level < 2; ++level) {
            char* slash = strrchr(path, '\\');
            if (slash != nullptr) {
                *slash = '\0';
            }
        }
        s_starterPath = std::string(path) + "\\vxstarter.exe";
        s_module = LoadLibraryExA(s_starterPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() {
        if (s_module != nullptr) {
            FreeLibrary(s_module);
            s_module = nullptr;
        }
    }
    void SetUp() override { ASSERT_NE(s_module, nullptr) << "cannot load " << s_starterPath; }

    static std::vector<BYTE> Resource(LPCSTR type, LPCSTR name, WORD language) {
        HRSRC info = FindResourceExA(s_module, type, name, language);
        if (info == nullptr) {
            return {};
        }
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(s_module, info)));
        const DWORD size = SizeofResource(s_module, info);
        return data == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(data, data + size);
    }

    static BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR parameter) {
        reinterpret_cast<std::set<WORD>*>(parameter)->insert(language);
        return TRUE;
    }
    static std::set<WORD> Languages(LPCSTR type, LPCSTR name) {
        std::set<WORD> languages;
        EnumResourceLanguagesA(s_module, type, name, CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
        return languages;
    }

    static BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR parameter) {
        if (IS_INTRESOURCE(name)) {
            reinterpret_cast<std::set<WORD>*>(parameter)->insert(
                static_cast<WORD>(reinterpret_cast<UINT_PTR>(name)));
        }
        return TRUE;
    }
    static std::set<WORD> Names(LPCSTR type) {
        std::set<WORD> names;
        EnumResourceNamesA(s_module, type, CollectName, reinterpret_cast<LONG_PTR>(&names));
        return names;
    }

    static void ExpectDialog(int id, const ExpectedDialog& expected) {
        SCOPED_TRACE("dialog " + std::to_string(id) + ", language " + std::to_string(expected.language));
        const std::vector<BYTE> data = Resource(RT_DIALOG, MAKEINTRESOURCEA(id), expected.language);
        ASSERT_FALSE(data.empty());
        const Dialog dialog = ParseDialog(data.data(), static_cast<DWORD>(data.size()));
        const bool japanese = expected.language == kJapanese;

        EXPECT_EQ(dialog.extended, japanese)
            << "Japanese templates are DLGTEMPLATEEX, English ones DLGTEMPLATE";
        EXPECT_EQ(dialog.helpId, 0u);
        EXPECT_EQ(dialog.style, kDialogStyle) << std::hex << dialog.style;
        EXPECT_EQ(dialog.style & (WS_VISIBLE | DS_CENTER), 0u);
        EXPECT_EQ(dialog.exStyle, 0u);
        EXPECT_EQ(dialog.x, 0);
        EXPECT_EQ(dialog.y, 0);
        EXPECT_EQ(dialog.cx, expected.cx);
        EXPECT_EQ(dialog.cy, expected.cy);
        EXPECT_TRUE(!dialog.menu.isOrdinal && dialog.menu.name.empty()) << "no menu";
        EXPECT_TRUE(!dialog.windowClass.isOrdinal && dialog.windowClass.name.empty())
            << "the standard dialog class";
        EXPECT_EQ(dialog.caption, expected.caption) << Narrow(dialog.caption);
        EXPECT_EQ(dialog.pointSize, expected.pointSize);
        EXPECT_EQ(dialog.font, expected.font) << Narrow(dialog.font);
        EXPECT_EQ(dialog.weight, 0);
        EXPECT_EQ(dialog.italic, 0);
        EXPECT_EQ(dialog.charSet, 0);

        ASSERT_EQ(dialog.controls.size(), expected.controls.size());
        for (size_t i = 0; i < expected.controls.size(); ++i) {
            const Control& control = dialog.controls[i];
            const ExpectedControl& want = expected.controls[i];
            SCOPED_TRACE("control " + std::to_string(i));
            EXPECT_EQ(control.id, StoredId(static_cast<int>(want.id), dialog.extended));
            if (want.classAtom != 0) {
                EXPECT_TRUE(control.windowClass.isOrdinal);
                EXPECT_EQ(control.windowClass.ordinal, want.classAtom);
            } else {
                // Window class names are compared without regard to case, as the platform looks them up.
                EXPECT_FALSE(control.windowClass.isOrdinal);
                EXPECT_EQ(_wcsicmp(control.windowClass.name.c_str(), L"msctls_progress32"), 0)
                    << Narrow(control.windowClass.name);
            }
            EXPECT_EQ(control.text, want.text) << Narrow(control.text);
            EXPECT_EQ(control.style, want.style) << std::hex << control.style;
            EXPECT_EQ(control.exStyle, 0u);
            EXPECT_EQ(control.helpId, 0u);
            EXPECT_EQ(control.x, want.x);
            EXPECT_EQ(control.y, want.y);
            EXPECT_EQ(control.cx, want.cx);
            EXPECT_EQ(control.cy, want.cy);
            EXPECT_EQ(control.creationDataSize, 0);
        }
    }

    static std::string s_starterPath;
    static HMODULE s_module;
};

std::string ResourcesTest::s_starterPath;
HMODULE ResourcesTest::s_module = nullptr;

TEST_F(ResourcesTest, BothDialogsExistInEnglishAndJapaneseOnly) {
    EXPECT_EQ(Names(RT_DIALOG), (std::set<WORD>{IDD_ACCESS_CODE, IDD_PROGRESS}));
    EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEA(IDD_ACCESS_CODE)), (std::set<WORD>{kEnglish, kJapanese}));
    EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEA(IDD_PROGRESS)), (std::set<WORD>{kEnglish, kJapanese}));
}

TEST_F(ResourcesTest, AccessCodeDialogInEnglish) {
    ExpectDialog(IDD_ACCESS_CODE,
                 {kEnglish,
                  L"Vantorix Starter",
                  8,
                  L"Verdana",
                  174,
                  62,
                  {{static_cast<DWORD>(IDC_STATIC), kStaticAtom, L"Access Code :", kLabel, 13, 12, 46, 8},
                   {IDC_CODE, kEditAtom, L"", kCodeField, 66, 9, 99, 14},
                   {IDC_CONNECT, kButtonAtom, L"Connect", kPushButton, 12, 28, 153, 14},
                   {IDC_MESSAGE, kStaticAtom, L"Please enter access code and press connect.", kLabel, 14, 46,
                    151, 8}}});
}

TEST_F(ResourcesTest, AccessCodeDialogInJapanese) {
    ExpectDialog(IDD_ACCESS_CODE,
                 {kJapanese,
                  L"Vantorix",
                  12,
                  kJapaneseFont,
                  165,
                  62,
                  {{static_cast<DWORD>(IDC_STATIC), kStaticAtom, L"認証コード :", kLabel, 13, 12, 37, 8},
                   {IDC_CODE, kEditAtom, L"", kCodeField, 54, 10, 99, 14},
                   // The two characters are set apart by one ideographic space.
                   {IDC_CONNECT, kButtonAtom, L"接\u3000続", kPushButton, 10, 28, 145, 14},
                   {IDC_MESSAGE, kStaticAtom, L"認証コードを入力後「接続」をクリックしてください。", kLabel,
                    8, 46, 151, 8}}});
}

TEST_F(ResourcesTest, ProgressWindowInEnglish) {
    ExpectDialog(IDD_PROGRESS, {kEnglish,
                                L"Vantorix Starter",
                                8,
                                L"Verdana",
                                197,
                                59,
                                {{IDC_PROGRESS_TEXT, kStaticAtom, L"Downloading...", kLabel, 13, 13, 177, 8},
                                 {IDC_PROGRESS_BAR, 0, L"", kBar, 12, 27, 175, 14}}});
}

TEST_F(ResourcesTest, ProgressWindowInJapanese) {
    ExpectDialog(
        IDD_PROGRESS,
        {kJapanese,
         L"Vantorix",
         12,
         kJapaneseFont,
         165,
         59,
         {{IDC_PROGRESS_TEXT, kStaticAtom, L"モジュールダウンロード中・・・", kLabel, 12, 13, 109, 8},
          {IDC_PROGRESS_BAR, 0, L"", kBar, 11, 27, 144, 15}}});
}

// String IDS_INVALID_CODE lives in block 1 (strings 0 to 15), and is the table's only string.
TEST_F(ResourcesTest, InvalidCodeStringIsTheTablesOnlyString) {
    EXPECT_EQ(Names(RT_STRING), (std::set<WORD>{IDS_INVALID_CODE / 16 + 1}));
    EXPECT_EQ(Languages(RT_STRING, MAKEINTRESOURCEA(IDS_INVALID_CODE / 16 + 1)),
              (std::set<WORD>{kEnglish, kJapanese}));
    const struct {
        WORD language;
        const wchar_t* text;
    } kCases[] = {{kEnglish, L"Invalid access code"}, {kJapanese, L"正しくない認証コードです。"}};
    for (const auto& want : kCases) {
        SCOPED_TRACE(want.language);
        const std::vector<BYTE> block =
            Resource(RT_STRING, MAKEINTRESOURCEA(IDS_INVALID_CODE / 16 + 1), want.language);
        ASSERT_FALSE(block.empty());
        size_t offset = 0;
        for (int index = 0; index < 16; ++index) {
            ASSERT_LE(offset + 2, block.size());
            WORD length = 0;
            memcpy(&length, block.data() + offset, 2);
            offset += 2;
            ASSERT_LE(offset + length * 2u, block.size());
            std::wstring text(length, L'\0');
            memcpy(&text[0], block.data() + offset, length * 2u);
            offset += length * 2u;
            EXPECT_EQ(text, index == IDS_INVALID_CODE % 16 ? want.text : L"") << "string " << index;
        }
    }
    // And the message fits the dialog's 48-byte buffer with its terminator, in the ANSI code page too.
    EXPECT_LT(WideCharToMultiByte(932, 0, L"正しくない認証コードです。", -1, nullptr, 0, nullptr, nullptr),
              49);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ResourcesTest, IconGroupHoldsOne16x16ImageWith32Bits) {
    EXPECT_EQ(Languages(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_APP)).size(), 1u)
        << "one copy for every language";
    const WORD language = *Languages(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_APP)).begin();
    const std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_APP), language);
    ASSERT_EQ(group.size(), 6 + sizeof(GroupIconEntry));
    WORD header[3] = {};
    memcpy(header, group.data(), 6);
    EXPECT_EQ(header[0], 0);
    EXPECT_EQ(header[1], 1) << "an icon, not a cursor";
    ASSERT_EQ(header[2], 1) << "one image";
    GroupIconEntry entry = {};
    memcpy(&entry, group.data() + 6, sizeof(entry));
    EXPECT_EQ(entry.width, 16);
    EXPECT_EQ(entry.height, 16);
    EXPECT_EQ(entry.colorCount, 0);
    EXPECT_EQ(entry.planes, 1);
    EXPECT_EQ(entry.bitCount, 32);

    const std::vector<BYTE> image = Resource(RT_ICON, MAKEINTRESOURCEA(entry.id), language);
    ASSERT_EQ(image.size(), entry.bytesInRes);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER bitmap = {};
    memcpy(&bitmap, image.data(), sizeof(bitmap));
    EXPECT_EQ(bitmap.biWidth, 16);
    EXPECT_EQ(bitmap.biHeight, 32) << "colour image and mask";
    EXPECT_EQ(bitmap.biBitCount, 32);
    EXPECT_EQ(bitmap.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(image.size(), sizeof(bitmap) + 16 * 16 * 4 + 16 * 4) << "colours and a 32-bit aligned mask";

    // The platform takes it as a 16 x 16 icon, which is what the dialogs' small icon loads.
    HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(image.data()), static_cast<DWORD>(image.size()),
                                          TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour = {};
    GetObjectA(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(colour.bmWidth, 16);
    EXPECT_EQ(colour.bmHeight, 16);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST_F(ResourcesTest, ManifestAsksForTheCallersRightsAndNothingElse) {
    EXPECT_EQ(Names(RT_MANIFEST), (std::set<WORD>{1}));
    EXPECT_EQ(Languages(RT_MANIFEST, MAKEINTRESOURCEA(1)), (std::set<WORD>{kEnglish}));
    const std::vector<BYTE> data = Resource(RT_MANIFEST, MAKEINTRESOURCEA(1), kEnglish);
    const std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.find("<dependency"), std::string::npos)
        << "no newer common controls: the default ones";
    EXPECT_EQ(manifest.find("<compatibility"), std::string::npos);
    EXPECT_EQ(manifest.find("<application"), std::string::npos);
}

// The file's properties: what Explorer shows under Details.
TEST_F(ResourcesTest, VersionResourceNamesTheProductAndItsVersion) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(s_starterPath.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(s_starterPath.c_str(), 0, size, block.data()));
    const auto text = [&](const char* name) {
        char* value = nullptr;
        UINT length = 0;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        return VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) && value
                   ? std::string(value)
                   : std::string("<missing>");
    };
    EXPECT_EQ("Vantorix Starter", text("ProductName"));
    EXPECT_EQ("Vantorix Starter", text("FileDescription"));
    EXPECT_EQ(VX_PROJECT_VERSION, text("ProductVersion"));
    EXPECT_EQ(VX_PROJECT_VERSION, text("FileVersion"));
    EXPECT_EQ("vxstarter.exe", text("OriginalFilename"));
}

// The caption's close box is the "r" of the Marlett font, drawn by the platform for every dialog: a
// prefix without the font shows a plain letter r in its place.
TEST_F(ResourcesTest, CaptionButtonFontIsPresent) {
    CScopedMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc.IsValid());
    CScopedGdiObject font(CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SYMBOL_CHARSET,
                                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                                      "Marlett"));
    ASSERT_TRUE(font.IsValid());
    const HGDIOBJ previous = SelectObject(dc.Get(), font.Get());
    char face[LF_FACESIZE] = {};
    GetTextFaceA(dc.Get(), LF_FACESIZE, face);
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc.Get(), &metrics);
    SelectObject(dc.Get(), previous);
    EXPECT_STREQ(face, "Marlett") << "the font the platform picks instead";
    EXPECT_EQ(static_cast<int>(metrics.tmCharSet), SYMBOL_CHARSET);
}

}  // namespace
