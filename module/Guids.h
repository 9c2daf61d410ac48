#pragma once
// The product's fixed identifiers. IID_IDocHook and LIBID_VORMIDMGRLib come
// from the interface description; the class id is declared here as well so
// that code outside the generated header can name it.

#include "vormidmgr_h.h"

extern "C" const CLSID CLSID_DocHook;
extern "C" const IID LIBID_VORMIDMGRLib;
constexpr WORD c_wTypeLibMajor = 1;
constexpr WORD c_wTypeLibMinor = 0;
