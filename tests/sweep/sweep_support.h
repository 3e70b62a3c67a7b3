// What the damaged-file sweep and the probe check share: the corpus files a reader exists for,
// the damaged copies made of each, and whether the program was built with sanitizers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sweep {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool SanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool SanitizerBuild = true;
#else
inline constexpr bool SanitizerBuild = false;
#endif
#else
inline constexpr bool SanitizerBuild = false;
#endif

// The corpus folders by format, public and synthetic alike (one name may stand for both).
const std::vector<std::string>& CorpusFormats();

// The files of one format folder that the program opens: those whose extension is registered
// (the registry must be initialised) and textures. Reference pictures and tables are left out.
std::vector<std::filesystem::path> ReadableFiles(const std::string& format);

struct DamagedCopy {
    std::string What;  // "cut at 17", "bytes changed (seed 3)", ...
    std::vector<uint8_t> Bytes;
};

// Copies of a file cut at several lengths (the small ones reach into every header, the
// fractions into the data) and with bytes overwritten (in the first 128 bytes, where the
// headers lie, and anywhere). The choice depends only on the file's size and the seed.
// A light set, for the slower sanitizer build, keeps fewer of each.
std::vector<DamagedCopy> DamagedCopies(const std::vector<uint8_t>& file, uint32_t seed, bool light);

// A seed for a file's damaged copies: a hash of its name, so that every run damages it alike.
uint32_t SeedOf(const std::filesystem::path& path);

}  // namespace sweep
