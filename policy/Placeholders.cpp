// TODO(policy): application lists, exception rules and the process scanner
// replace these placeholders.
#include "decision/LxShellExt.h"

int CLxShellExt::IsExceptionApplication() { return EXECUTE_INJECTION; }
int CLxShellExt::IsRegisteredApplication() { return 0; }
bool CLxShellExt::IsExcludeApplication(const char*, const char*) { return false; }
bool CLxShellExt::GetFixedFileInfo(const char*, VS_FIXEDFILEINFO*) { return false; }
// TODO(process scanner): no running instance is looked at yet; launch goes ahead.
bool CLxShellExt::IsInjectableApplication() { return true; }
int CLxShellExt::GetAppList(AppProcessQueue&) { return 0; }
bool CLxShellExt::CheckModule(DWORD) { return false; }
