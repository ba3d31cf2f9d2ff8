#pragma once

// The live options the front ends read at the moment of use. The main window
// implements this from its check boxes; headless runs and tests use
// OptionValues.
class AgentOptions
{
public:
    virtual ~AgentOptions() = default;
    virtual bool ListUnreadOnly() const = 0;   // "&Unread Hotmail only"
    virtual bool MarkReadOnServer() const = 0; // "&Mark Hotmail read"
    virtual bool DeleteOnServer() const = 0;   // "&Delete from Hotmail"
    virtual bool SaveSentItems() const = 0;    // "Sa&ve sent messages on Hotmail"
    virtual bool CollectPOP3() const = 0;      // "Tri&gger Hotmail POP3 collection"
    virtual bool LocalhostOnly() const = 0;    // "&Listen only to host 127.0.0.1"
    // No check box: the value the settings held at start.
    virtual bool SameUserOnly() const = 0;
};

// Plain values, for running without a window and for tests.
class OptionValues : public AgentOptions
{
public:
    bool listUnreadOnly = true;
    bool markReadOnServer = true;
    bool deleteOnServer = false;
    bool saveSentItems = true;
    bool collectPOP3 = false;
    bool localhostOnly = true;
    bool sameUserOnly = true;

    bool ListUnreadOnly() const override { return listUnreadOnly; }
    bool MarkReadOnServer() const override { return markReadOnServer; }
    bool DeleteOnServer() const override { return deleteOnServer; }
    bool SaveSentItems() const override { return saveSentItems; }
    bool CollectPOP3() const override { return collectPOP3; }
    bool LocalhostOnly() const override { return localhostOnly; }
    bool SameUserOnly() const override { return sameUserOnly; }
};
