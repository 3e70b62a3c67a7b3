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

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileMode::fmCreate);
    SaveToStream(stream);
}

void TGraphic::Assign(const TGraphic& source) {
    throw EConvertError(Format("Cannot assign a %s to a %s", source.ClassType().ClassName, ClassType().ClassName));
}
