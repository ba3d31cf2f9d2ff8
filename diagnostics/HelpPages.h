#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// The help pages shipped beside the program, one per kind of failure, and the
// way they are shown: in the user's web browser.
class HelpPages
{
public:
    enum Page {
        General,       // the service answered, but not with a working login
        Socket,        // a port of the agent could not be tested
        HttpComponent, // the HTTP request could not be made at all
        Connection,    // the request did not get an answer from the service
    };

    // Shows the page; false when there is no browser or the page is missing.
    using Opener = std::function<bool(const QUrl &page)>;

    HelpPages();

    // Replaces the browser, for instance to record which page would open.
    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    bool Open(Page page) const;

    static QString FileName(Page page);
    // The page as a local file address; empty when the page cannot be found.
    static QUrl Url(Page page);
    // The folder of the pages: share/zorvane/diagnostics-help beside the
    // program's bin folder, or diagnostics-help next to the program.
    static QString Folder();

private:
    Opener m_opener;
};
