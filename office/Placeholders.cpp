// TODO(office upkeep): the Office add-in upkeep replaces these placeholders.
#include "decision/LxShellExt.h"

void CLxShellExt::ResetOfficeResiliency() {}
void CLxShellExt::RegisterOfficeAddins() {}
void CLxShellExt::DeleteOtherAddins() {}
