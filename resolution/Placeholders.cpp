// TODO(resolution): extension control table, association resolver and path
// helpers replace these placeholders.
#include "decision/LxShellExt.h"

bool CLxShellExt::GetExtensionControlType() { return false; }
bool CLxShellExt::GetExtControlApplicationPath()
{
    m_strAppPath = m_lpsei && m_lpsei->lpFile ? m_lpsei->lpFile : "";
    return true;
}
bool CLxShellExt::GetApplicationPathFromReg(bool) { return false; }
std::optional<std::string> CLxShellExt::GetLongFilePathName(const char*) { return std::nullopt; }
