#include "host_texbridge.h"

#include "strutils.h"

void ReadTextureInfo(TextureInfo& info) {
    TextureGetInfo(&info.Width, &info.Height, &info.Frames, &info.Flags, &info.Mips, &info.Faces);
}

TTextureSession::TTextureSession(const std::string& path) { TextureOpen(EscapeBackslashes(path).c_str()); }

TTextureSession::~TTextureSession() { TextureClose(); }
