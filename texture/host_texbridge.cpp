#include "host_texbridge.h"

#include "strutils.h"

void ReadTextureInfo(TextureInfo& info) {
    TextureGetInfo(&info.Width, &info.Height, &info.Frames, &info.Flags, &info.Mips, &info.Faces);
}

namespace {
std::mutex TextureLibraryMutex;
}  // namespace

TTextureSession::TTextureSession(const std::string& path) : FLock(TextureLibraryMutex) {
    TextureOpen(EscapeBackslashes(path).c_str());
}

TTextureSession::~TTextureSession() { TextureClose(); }
