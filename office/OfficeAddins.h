#pragma once
// Office add-in upkeep: keeps the product's Word, PowerPoint and Excel add-ins
// registered and loadable for the current user, on every shell request.

#include "request/RequestState.h"

namespace office {

void ResetOfficeResiliency();
void RegisterOfficeAddins();
// Only when the policy asks for it (DeleteOtherAddin).
void DeleteOtherAddins(const CPolicyValues& a_policy);

} // namespace office
