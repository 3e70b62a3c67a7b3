// pictolan-probe: the command-line companion. It loads files through the same readers as the
// viewer and writes what they produce, for tests, benchmarks and scripting.
//
//   pictolan-probe formats
//   pictolan-probe decode IN OUT.bmp
//   pictolan-probe info IN
//   pictolan-probe time IN [N]
//   pictolan-probe thumb IN OUT.bmp
//   pictolan-probe thumbs DIR OUTDIR [--jobs N]
//   pictolan-probe scan DIR
//   pictolan-probe mip IN LEVEL OUT.bmp
//
// Exit status: 0 on success, 1 with the error's message on standard error, 2 on bad usage.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bitmap.h"
#include "browser_list.h"
#include "exceptions.h"
#include "format_registry.h"
#include "picture.h"
#include "strutils.h"
#include "thumbnail.h"
#include "thumbnail_pool.h"
#include "vtf_helper.h"

namespace {

using Args = std::vector<std::string>;

int Usage() {
    std::fprintf(stderr,
                 "usage: pictolan-probe formats\n"
                 "       pictolan-probe decode IN OUT.bmp\n"
                 "       pictolan-probe info IN\n"
                 "       pictolan-probe time IN [N]\n"
                 "       pictolan-probe thumb IN OUT.bmp\n"
                 "       pictolan-probe thumbs DIR OUTDIR [--jobs N]\n"
                 "       pictolan-probe scan DIR\n"
                 "       pictolan-probe mip IN LEVEL OUT.bmp\n");
    return 2;
}

// Loads a file as the viewer does and gives the bitmap it shows.
TBitmap LoadAsViewer(const std::string& path) {
    if (IsTexturePath(path)) return *LoadTextureLevel(path, 0);
    TPicture picture;
    picture.LoadFromFile(path);
    TBitmap result;
    result.Assign(*picture.Graphic());
    return result;
}

const char* PixelFormatName(TPixelFormat pf) {
    switch (pf) {
        case pf1bit: return "1";
        case pf4bit: return "4";
        case pf8bit: return "8";
        case pf15bit: return "15";
        case pf16bit: return "16";
        case pf24bit: return "24";
        case pf32bit: return "32";
        case pfDevice: return "device";
        case pfCustom: return "custom";
    }
    return "?";
}

int CmdFormats(const Args& a) {
    if (!a.empty()) return Usage();
    for (const auto& rec : FileFormats->Extensions()) {
        const std::string& desc = rec->Description.empty() ? rec->ClassRec->ClassDescription : rec->Description;
        std::printf("%s\t%s\t%s\n", rec->Extension.c_str(), desc.c_str(), rec->ClassRec->ReaderClass->ClassName);
    }
    return 0;
}

int CmdDecode(const Args& a) {
    if (a.size() != 2) return Usage();
    TBitmap bmp = LoadAsViewer(a[0]);
    bmp.SaveToFile(a[1]);
    return 0;
}

// A texture's info as the Info page reads it; the bitmap the viewer makes of it is 24-bit.
int CmdTextureInfo(const std::string& path) {
    TextureInfo info = ReadTextureFileInfo(path);
    if (info.Mips <= 0) throw EInvalidGraphic(STextureUnreadable);
    std::printf("width: %d\nheight: %d\nbits: %s\nframes: %d\nmips: %d\nfaces: %d\nflags: %u\n", info.Width,
                info.Height, PixelFormatName(pf24bit), info.Frames, info.Mips, info.Faces,
                static_cast<uint32_t>(info.Flags));
    return 0;
}

int CmdInfo(const Args& a) {
    if (a.size() != 1) return Usage();
    if (IsTexturePath(a[0])) return CmdTextureInfo(a[0]);
    TBitmap bmp = LoadAsViewer(a[0]);
    std::printf("width: %d\nheight: %d\nbits: %s\n", bmp.Width(), bmp.Height(), PixelFormatName(bmp.PixelFormat()));
    return 0;
}

// One level of a texture as the viewer's mip choice shows it.
int CmdMip(const Args& a) {
    if (a.size() != 3) return Usage();
    std::unique_ptr<TBitmap> bmp = LoadTextureLevel(a[0], StrToInt(a[1]));
    bmp->SaveToFile(a[2]);
    return 0;
}

int CmdTime(const Args& a) {
    if (a.empty() || a.size() > 2) return Usage();
    int n = 10;
    if (a.size() == 2) {
        n = StrToIntDef(a[1], 0);
        if (n <= 0) return Usage();
    }
    std::vector<double> ms;
    int64_t pixels = 0;
    for (int i = 0; i < n; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        TBitmap bmp = LoadAsViewer(a[0]);
        auto t1 = std::chrono::steady_clock::now();
        pixels = int64_t{bmp.Width()} * bmp.Height();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    double mps = median > 0 ? pixels / (median * 1000.0) : 0.0;
    std::printf("median_ms: %.3f\nmegapixels_per_second: %.1f\n", median, mps);
    return 0;
}

// The thumbnail the browser shows for a file, written as a Windows bitmap.
int CmdThumb(const Args& a) {
    if (a.size() != 2) return Usage();
    TFileEntry entry;
    entry.Name = a[0];
    entry.FullPath = a[0];
    std::string failure;
    TThumbnailContext context;
    context.OnFailure = [&](const std::string& message) { failure = message; };
    MakeThumbnail(entry, context);
    if (!entry.Loaded) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        return 1;
    }
    entry.Thumbnail->SaveToFile(a[1]);
    return 0;
}

// Every thumbnail of a folder, made by the browser's workers, each written to OUTDIR as the
// file's name followed by ".bmp"; then the count, the failures and the time taken.
int CmdThumbs(const Args& a) {
    if (a.size() != 2 && a.size() != 4) return Usage();
    int32_t jobs = 0;
    if (a.size() == 4) {
        if (a[2] != "--jobs") return Usage();
        jobs = StrToIntDef(a[3], 0);
        if (jobs <= 0) return Usage();
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::string> registered;
    FileFormats->ListExtensions(registered);
    TBrowserList list;
    list.ScanFolder(a[0], BuildAcceptedExtensions(registered), TScanHooks{});
    std::vector<TThumbnailJob> all;
    for (int32_t i = 0; i < list.Count(); ++i) all.push_back({&list.Entry(i), list.Entry(i).FullPath});

    TThumbnailPool pool(jobs, [](const std::string& path) { return CreateThumbnail(path); }, nullptr);
    pool.SetBackground(std::move(all));
    std::error_code ignored;  // a folder that cannot be made shows as the first write's error
    std::filesystem::create_directories(a[1], ignored);
    const std::string outDir = AppendBackslash(a[1]);
    int32_t made = 0;
    std::vector<std::string> failures;
    for (auto results = pool.WaitForResults(); !results.empty(); results = pool.WaitForResults())
        for (const TThumbnailResult& r : results) {
            if (r.Thumbnail) {
                r.Thumbnail->SaveToFile(outDir + r.Entry->Name + ".bmp");
                ++made;
            } else {
                failures.push_back(r.Entry->Name + ": " + r.Error);
            }
        }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::sort(failures.begin(), failures.end());
    for (const std::string& f : failures) std::printf("failed: %s\n", f.c_str());
    std::printf("thumbnails: %d\nfailures: %zu\nworkers: %d\ntime_ms: %.1f\n", made, failures.size(), pool.Workers(), ms);
    return 0;
}

// The names a folder scan lists, in their final order, then the status text it shows.
int CmdScan(const Args& a) {
    if (a.size() != 1) return Usage();
    std::vector<std::string> registered;
    FileFormats->ListExtensions(registered);
    TBrowserList list;
    std::string status;
    TScanHooks hooks;
    hooks.SetStatus = [&](const std::string& text) { status = text; };
    list.ScanFolder(a[0], BuildAcceptedExtensions(registered), hooks);
    for (int32_t i = 0; i < list.Count(); ++i) std::printf("%s\n", list.Entry(i).Name.c_str());
    std::printf("%s\n", status.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::map<std::string, std::function<int(const Args&)>> commands = {
        {"formats", CmdFormats},
        {"decode", CmdDecode},
        {"info", CmdInfo},
        {"time", CmdTime},
        {"thumb", CmdThumb},
        {"thumbs", CmdThumbs},
        {"scan", CmdScan},
        {"mip", CmdMip},
    };
    auto it = commands.find(argv[1]);
    if (it == commands.end()) return Usage();
    Args args(argv + 2, argv + argc);
    InitializeFileFormats();
    int rc;
    try {
        rc = it->second(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        rc = 1;
    }
    FinalizeFileFormats();
    return rc;
}
