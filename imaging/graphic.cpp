#include "graphic.h"

#include "exceptions.h"
#include "streams.h"

void TGraphic::SaveToStream(TStream&) {
    throw EInvalidGraphicOperation(Format("Cannot save a %s", ClassType().ClassName));
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileMode::fmOpenRead);
    LoadFromStream(stream);
}

// The file is made in memory first and then replaces the old one in one step: a graphic that
// cannot be saved, or a write that fails, leaves any existing file as it was.
void TGraphic::SaveToFile(const std::string& fileName) {
    TMemoryStream data;
    SaveToStream(data);
    ReplaceFileContent(fileName, data.Memory(), static_cast<size_t>(data.Size()));
}

void TGraphic::Assign(const TGraphic& source) {
    throw EConvertError(Format("Cannot assign a %s to a %s", source.ClassType().ClassName, ClassType().ClassName));
}
