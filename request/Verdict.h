#pragma once
// What became of the last request offered on a thread, kept for the
// administrators' shell host to put in words. Only facts are kept during the
// request; the words are made when the host asks.

#include <string>

struct RequestVerdict {
    bool m_bHandled = false;       // S_OK: the hook took the request over
    int m_nInstApp = 0;            // the hInstApp answered with it
    const char* m_szCause = "";    // why it was refused or handed back (a constant text)
    std::string m_strDetail;       // the cause in full, naming the program and the rule; said in its place
    bool m_bUnprotected = false;   // handed back although the request is controlled: protection fell open
    std::string m_strApplication;  // the application's file name
    std::string m_strPlugin;       // the plug-in's file name
    std::string m_strDropped;      // the registered command's arguments the launcher line leaves out
    bool m_bDirectStart = false;   // finished by starting the application itself
};

// The calling thread's verdict record.
RequestVerdict& ThreadVerdict();
