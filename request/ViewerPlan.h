#pragma once
// The image viewer's exception rule answers with this plan: the viewer to
// start for the document. The decision carries it out.

#include <string>

struct ImageViewerPlan {
    bool m_bStart = false;
    std::string m_strViewer;         // the viewer's command (m_strAppPath)
    bool m_bViewerFromRequest = false; // the command is the request's own file text
    std::string m_strDocument;       // the request's file text
    std::wstring m_strRealDocument;  // the request's file as the caller wrote it
};
