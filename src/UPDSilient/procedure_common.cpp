#include "UPDSilient/procedure_common.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"

namespace procedure {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

std::string CurrentVersionFolder() {
    // Larger than any path the product composes, so a long root still fits.
    std::vector<char> buffer(8192, '\0');
    GetLatestPathN(g_szORVPatch, "program", buffer.data(), static_cast<unsigned>(buffer.size()));
    buffer.back() = '\0';
    return std::string(buffer.data());
}

bool HasBuildText(const std::string& path) {
    return path.find('.') != std::string::npos;
}

std::string BuildText(const std::string& path) {
    std::string::size_type dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

void PointLatestAt(const std::string& target) {
    std::vector<char> targetText(target.begin(), target.end());
    targetText.push_back('\0');
    CreateLink(g_szORVPatch, targetText.data());
}

void PrintVerdict(const char* verdict) {
    std::printf("%s", verdict);
    std::fflush(stdout);
}

}  // namespace procedure
