#include "ui/about_logic.h"

#include <cstdint>
#include <vector>

#include "platform/version_info.h"

namespace clst {

AboutTexts LoadAboutTexts(const std::string& programPath) {
    AboutTexts texts;
    const uint32_t size = platform::GetFileVersionInfoSize(programPath);
    if (size == 0)
        return texts;
    std::vector<uint8_t> block;
    if (!platform::GetFileVersionInfo(programPath, size, block))
        return texts;
    platform::VerQueryValue(block, "\\StringFileInfo\\040704b0\\FileDescription",
                            texts.description);
    platform::VerQueryValue(block, "\\StringFileInfo\\040704b0\\FileVersion", texts.version);
    platform::VerQueryValue(block, "\\StringFileInfo\\040704b0\\LegalCopyright", texts.legal);
    texts.notice = kAboutNotice;
    return texts;
}

}  // namespace clst
