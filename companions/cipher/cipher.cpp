// Placeholder until the policy-file reader lands.
#include "companions/cipher/cipher.h"

CCCF::CCCF() : m_pImpl(nullptr) {}
CCCF::~CCCF() {}
int CCCF::CheckCCFValidity() { return CCF_E_MISSING; }
const char* CCCF::GetCompanyID() { return nullptr; }
const char* CCCF::GetField(const char*) { return nullptr; }
CFlexibleHeader::CFlexibleHeader() : m_header{} {}
CFlexibleHeader::~CFlexibleHeader() {}
int CFlexibleHeader::GetHeaderFromFile(const char*, unsigned, unsigned, unsigned) { return ACAP_E_OPEN; }
CDRMLogic::CDRMLogic() {}
CDRMLogic::~CDRMLogic() {}
