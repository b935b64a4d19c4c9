// Writes the wizard's resources as Windows resources, from the same data every other back end
// uses (res/): a resource script for windres with the string table, the dialog templates, the
// icons and 16-colour bitmaps (written beside it as .ico and .bmp files), a version resource
// and the application manifest.
// Usage: make-resources <output folder> <version, e.g. 1.0>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "res/Dialogs.h"
#include "res/Pictures.h"
#include "res/Strings.h"

namespace {

// Every resource number the wizard may use lies below this.
constexpr int kMaxId = 1000;

void put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(std::uint8_t(v & 0xFF));
    out.push_back(std::uint8_t(v >> 8 & 0xFF));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::uint32_t stride(int width, int bits) {
    return std::uint32_t((width * bits + 31) / 32 * 4);
}

// BITMAPINFOHEADER and the 16-colour palette of a 4-bit DIB `height` rows high (icons give
// twice the image's height: colour rows, then the mask).
void putDibHeader(std::vector<std::uint8_t>& out, int width, int height, std::uint32_t imageBytes) {
    put32(out, 40);
    put32(out, std::uint32_t(width));
    put32(out, std::uint32_t(height));
    put16(out, 1);
    put16(out, 4);
    put32(out, 0);  // BI_RGB
    put32(out, imageBytes);
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, 16);
    put32(out, 0);
    for (std::uint32_t rgb : res::kPalette16) {
        out.push_back(std::uint8_t(rgb & 0xFF));
        out.push_back(std::uint8_t(rgb >> 8 & 0xFF));
        out.push_back(std::uint8_t(rgb >> 16 & 0xFF));
        out.push_back(0);
    }
}

// The colour rows, bottom-up, 4 bits a pixel; transparent pixels black, as the mask needs.
void putPixels(std::vector<std::uint8_t>& out, const res::Image& image) {
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(stride(image.width, 4), 0);
        for (int x = 0; x < image.width; ++x) {
            int index = image.pixels[y * image.width + x];
            if (index == image.transparent) index = 0;
            row[std::size_t(x / 2)] |= std::uint8_t(x % 2 == 0 ? index << 4 : index);
        }
        out.insert(out.end(), row.begin(), row.end());
    }
}

// The AND mask, bottom-up: 1 where the background shows through.
void putMask(std::vector<std::uint8_t>& out, const res::Image& image) {
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(stride(image.width, 1), 0);
        for (int x = 0; x < image.width; ++x) {
            if (image.pixels[y * image.width + x] == image.transparent)
                row[std::size_t(x / 8)] |= std::uint8_t(0x80 >> (x % 8));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
}

std::vector<std::uint8_t> iconFile(const res::Picture& picture) {
    std::vector<std::vector<std::uint8_t>> images;
    for (int i = 0; i < picture.imageCount; ++i) {
        const res::Image& image = picture.images[i];
        const std::uint32_t bytes = stride(image.width, 4) * std::uint32_t(image.height) +
                                    stride(image.width, 1) * std::uint32_t(image.height);
        std::vector<std::uint8_t> dib;
        putDibHeader(dib, image.width, image.height * 2, bytes);
        putPixels(dib, image);
        putMask(dib, image);
        images.push_back(std::move(dib));
    }
    std::vector<std::uint8_t> out;
    put16(out, 0);
    put16(out, 1);  // icon
    put16(out, unsigned(images.size()));
    std::uint32_t offset = 6 + 16 * std::uint32_t(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const res::Image& image = picture.images[i];
        out.push_back(std::uint8_t(image.width >= 256 ? 0 : image.width));
        out.push_back(std::uint8_t(image.height >= 256 ? 0 : image.height));
        out.push_back(16);
        out.push_back(0);
        put16(out, 1);
        put16(out, 4);
        put32(out, std::uint32_t(images[i].size()));
        put32(out, offset);
        offset += std::uint32_t(images[i].size());
    }
    for (const auto& dib : images) out.insert(out.end(), dib.begin(), dib.end());
    return out;
}

std::vector<std::uint8_t> bitmapFile(const res::Image& image) {
    const std::uint32_t bytes = stride(image.width, 4) * std::uint32_t(image.height);
    std::vector<std::uint8_t> out = {'B', 'M'};
    put32(out, 14 + 40 + 64 + bytes);
    put32(out, 0);
    put32(out, 14 + 40 + 64);
    putDibHeader(out, image.width, image.height, bytes);
    putPixels(out, image);
    return out;
}

bool writeFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// A string literal of the resource script: quotes doubled, C escapes for the rest.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\"\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

std::string controlClassAndStyle(const res::ControlTemplate& c, std::string& exStyle) {
    using res::ControlKind;
    std::string cls, style;
    const unsigned s = c.style;
    switch (c.kind) {
        case ControlKind::Label:
            cls = "\"Static\"";
            style = (s & res::kCentered) ? "SS_CENTER" : "SS_LEFT";
            if (s & res::kSunken) style += " | SS_SUNKEN";
            break;
        case ControlKind::GroupBox:
            cls = "\"Button\"";
            style = "BS_GROUPBOX";
            break;
        case ControlKind::Edit:
            cls = "\"Edit\"";
            style = "ES_LEFT";
            if (s & res::kReadOnly) style += " | ES_READONLY";
            if (s & res::kMultiLine) style += " | ES_MULTILINE";
            if (s & res::kAutoHScroll) style += " | ES_AUTOHSCROLL";
            if (!(s & res::kNoBorder)) exStyle = "WS_EX_CLIENTEDGE";
            break;
        case ControlKind::PushButton:
            cls = "\"Button\"";
            style = "BS_PUSHBUTTON";
            break;
        case ControlKind::DefPushButton:
            cls = "\"Button\"";
            style = "BS_DEFPUSHBUTTON";
            break;
        case ControlKind::RadioButton:
            cls = "\"Button\"";
            style = "BS_AUTORADIOBUTTON";
            break;
        case ControlKind::DropList:
            cls = "\"ComboBox\"";
            style = "CBS_DROPDOWNLIST";
            if (s & res::kSorted) style += " | CBS_SORT";
            break;
        case ControlKind::IconPicture:
            cls = "\"Static\"";
            style = "SS_ICON";
            break;
        case ControlKind::BitmapPicture:
            cls = "\"Static\"";
            // The frame keeps the template's size; the picture is centred in it.
            style = "SS_BITMAP | SS_CENTERIMAGE";
            break;
    }
    style = "WS_CHILD | " + style;
    if (!(s & res::kHidden)) style += " | WS_VISIBLE";
    // A read-only text has its scroll bar from the start, whatever its template says: the edit
    // control keeps the bar's range only for a bar it was created with (under Wine one added
    // later stays 0..0 and cannot be used). The back end hides the bar while the text fits.
    const bool readOnlyText =
        c.kind == ControlKind::Edit && (s & res::kReadOnly) && (s & res::kMultiLine);
    if ((s & res::kVScroll) || readOnlyText) style += " | WS_VSCROLL";
    if (s & res::kGroupStart) style += " | WS_GROUP";
    if (s & res::kTabStop) style += " | WS_TABSTOP";
    if (s & res::kDisabled) style += " | WS_DISABLED";
    // The resource compiler adds WS_VISIBLE and WS_TABSTOP to some controls on its own.
    if (s & res::kHidden) style += " | NOT WS_VISIBLE";
    if (!(s & res::kTabStop)) style += " | NOT WS_TABSTOP";
    return cls + ", " + style;
}

void writeDialog(std::FILE* rc, const res::DialogTemplate& d) {
    std::string style = "WS_POPUP | DS_SHELLFONT";
    if (d.style & res::kDlgCaption) style += " | WS_CAPTION";
    if (d.style & res::kDlgModalFrame) style += " | DS_MODALFRAME";
    if (d.style & res::kDlgCentered) style += " | DS_CENTER";
    if (d.style & res::kDlgSysMenuBox) style += " | WS_SYSMENU";
    std::fprintf(rc, "%d DIALOGEX 0, 0, %d, %d\nSTYLE %s\n", d.id, d.cx, d.cy, style.c_str());
    if (d.style & res::kDlgTaskBar) std::fprintf(rc, "EXSTYLE WS_EX_APPWINDOW\n");
    std::fprintf(rc, "CAPTION %s\nFONT 8, \"MS Shell Dlg\", 400, 0, 1\nBEGIN\n",
                 quoted(d.title).c_str());
    for (std::size_t i = 0; i < d.controlCount; ++i) {
        const res::ControlTemplate& c = d.controls[i];
        std::string exStyle;
        const std::string classAndStyle = controlClassAndStyle(c, exStyle);
        // A picture shown at creation is named by its resource number.
        const std::string text = c.picture != 0 ? std::to_string(c.picture) : quoted(c.text);
        std::fprintf(rc, "  CONTROL %s, %d, %s, %d, %d, %d, %d%s%s\n", text.c_str(), c.id,
                     classAndStyle.c_str(), c.x, c.y, c.cx, c.cy, exStyle.empty() ? "" : ", ",
                     exStyle.c_str());
    }
    std::fprintf(rc, "END\n\n");
}

std::string manifest(const std::string& version) {
    return R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Reflasher" version=")" +
           version + R"(.0.0" processorArchitecture="amd64"/>
  <description>Reflasher firmware update wizard</description>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>
    </windowsSettings>
  </application>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
</assembly>
)";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> <version>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string version = argv[2];
    int major = 0, minor = 0;
    if (std::sscanf(version.c_str(), "%d.%d", &major, &minor) < 1) {
        std::fprintf(stderr, "make-resources: bad version %s\n", version.c_str());
        return 2;
    }

    std::FILE* rc = std::fopen((folder + "/Reflasher.rc").c_str(), "w");
    if (!rc) return 1;
    std::fprintf(rc, "// Generated by res/rc/MakeResources.cpp from res/; do not edit.\n");
    std::fprintf(rc, "#include <windows.h>\n\nLANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n\n");

    std::fprintf(rc, "STRINGTABLE\nBEGIN\n");
    for (int id = 1; id < kMaxId; ++id) {
        const std::string text = res::LoadString(id);
        if (!text.empty()) std::fprintf(rc, "  %d, %s\n", id, quoted(text).c_str());
    }
    std::fprintf(rc, "END\n\n");

    for (int id = 1; id < kMaxId; ++id) {
        const res::Picture* picture = res::FindPicture(id);
        if (!picture) continue;
        std::string name;
        std::vector<std::uint8_t> bytes;
        if (picture->kind == res::PictureKind::Icon) {
            name = "icon" + std::to_string(id) + ".ico";
            bytes = iconFile(*picture);
            std::fprintf(rc, "%d ICON \"%s\"\n", id, name.c_str());
        } else {
            name = "bitmap" + std::to_string(id) + ".bmp";
            bytes = bitmapFile(picture->images[0]);
            std::fprintf(rc, "%d BITMAP \"%s\"\n", id, name.c_str());
        }
        if (!writeFile(folder + "/" + name, bytes.data(), bytes.size())) return 1;
    }
    std::fprintf(rc, "\n");

    for (int id = 1; id < kMaxId; ++id) {
        if (const res::DialogTemplate* d = res::FindDialog(id)) writeDialog(rc, *d);
    }

    std::fprintf(rc,
                 "VS_VERSION_INFO VERSIONINFO\n"
                 "FILEVERSION %d, %d, 0, 0\nPRODUCTVERSION %d, %d, 0, 0\n"
                 "FILEFLAGSMASK VS_FFI_FILEFLAGSMASK\nFILEFLAGS 0\nFILEOS VOS_NT_WINDOWS32\n"
                 "FILETYPE VFT_APP\nFILESUBTYPE VFT2_UNKNOWN\n"
                 "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904B0\"\n    BEGIN\n"
                 "      VALUE \"CompanyName\", \"\"\n"
                 "      VALUE \"FileDescription\", \"Reflasher firmware update wizard\"\n"
                 "      VALUE \"FileVersion\", \"%s\"\n"
                 "      VALUE \"InternalName\", \"Reflasher\"\n"
                 "      VALUE \"OriginalFilename\", \"Reflasher.exe\"\n"
                 "      VALUE \"ProductName\", \"Reflasher\"\n"
                 "      VALUE \"ProductVersion\", \"%s\"\n"
                 "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", "
                 "0x409, 1200\n  END\nEND\n\n",
                 major, minor, major, minor, version.c_str(), version.c_str());

    std::fprintf(rc, "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"Reflasher.manifest\"\n");
    if (std::fclose(rc) != 0) return 1;
    const std::string m = manifest(version);
    return writeFile(folder + "/Reflasher.manifest", m.data(), m.size()) ? 0 : 1;
}
