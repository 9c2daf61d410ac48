#pragma once
// The text layer of the registration-script language: the variables a script
// may name, their expansion, and the tokens of the expanded text. Tokens are
// read one at a time; what each one means is for the walks to decide.

#include "registration/ScriptLimits.h"

#include <windows.h>

// (name, value) pairs of wide texts; every pair owns copies of both.
class CScriptVariables {
public:
    CScriptVariables() = default;
    ~CScriptVariables();
    CScriptVariables(const CScriptVariables&) = delete;
    CScriptVariables& operator=(const CScriptVariables&) = delete;

    // False when there is no memory; the table is then unchanged.
    bool Add(const wchar_t* a_wszName, const wchar_t* a_wszValue);
    // The first pair whose name matches without regard to case, or null.
    const wchar_t* Lookup(const wchar_t* a_wszName) const;
    UINT Count() const { return m_cPairs; }

private:
    struct Pair {
        wchar_t* m_wszName;
        wchar_t* m_wszValue;
    };
    static constexpr UINT c_cInitialRoom = 10;

    Pair* m_pPairs = nullptr;
    UINT m_cPairs = 0;
    UINT m_cRoom = 0;
};

// The expanded text in task memory (CoTaskMemFree), or an error.
HRESULT ExpandVariables(const CScriptVariables& a_variables, const char* a_szText, char** a_ppszExpanded);

// Reads an expanded text one token at a time and never looks further ahead:
// the walks act on each statement as they read it.
class CScriptTokenizer {
public:
    // Reads the next token into a_szToken (c_cbToken bytes) and moves the
    // reading position behind it.
    HRESULT ReadToken(char* a_szToken);
    void SkipBlanks();
    // Where the next token is read.
    void SetReadingPosition(const char* a_pszText) { m_pszPos = a_pszText; }
    const char* ReadingPosition() const { return m_pszPos; }

private:
    const char* m_pszPos = "";
};
