// The process's command line: one text (for substring searches and editing) and the table
// of arguments parsed from it (for exact, positional lookups).
//
// Options are declared once each as a process-wide CCommandLineOption, which registers its
// name during static initialisation and keeps the handle; every lookup takes that handle.
// The text may pull in parameter files: "@name" is replaced by the file's content.
//
// Threads: not locked. The object is filled during static initialisation and by the main
// thread before other threads start; afterwards it is only read. FindOption hands its value
// out in one process-wide buffer, so two threads must not ask for values at once.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlhandlelist.h"

#define MAX_PARAMETERS 256

// Limits of the text, in characters (the buffers hold one more byte for the NUL).
#define COMMANDLINE_MAX_FROM_ARGUMENTS 2047 // text built from an argument vector
#define COMMANDLINE_MAX_EXPANDED 4095       // text after parameter file expansion
#define COMMANDLINE_MAX_PARMFILE_NAME 259   // name of a parameter file
#define COMMANDLINE_MAX_OPTION_VALUE 127    // value returned by FindOption

class ICommandLine
{
public:
    // Quotes every argument ("arg" followed by a blank) into one text and parses that.
    virtual void CreateFromArguments(int argc, char **argv) = 0;
    virtual void CreateFromText(const char *pchCommandLine) = 0;
    // The whole text, or null before the first fill.
    virtual const char *GetText() const = 0;
    // Case-insensitive substring search of the option's name in the text. Returns where it
    // was found, or null. With ppchValue: the word after the next blank(s), cut to 127
    // characters, in a process-wide buffer overwritten by the next call; null when the text
    // ends first or the word starts with "-" or "+".
    virtual const char *FindOption(int hParam, const char **ppchValue = nullptr) const = 0;
    // Removes every occurrence of the option with everything up to the next "-" or "+".
    virtual void RemoveOption(int hParam) = 0;
    // Removes the option, then appends it (and the value when not null) to the text.
    virtual void AppendOption(int hParam, const char *pchValue) = 0;
    // The argument after the option (found as a whole argument), converted; the default
    // when the option is absent or last, or the next argument starts with "-" or "+".
    virtual float GetOptionFloat(int hParam, float flDefault) const = 0;
    virtual int GetOptionInt(int hParam, int nDefault) const = 0;
    virtual const char *GetOptionString(int hParam, const char *pchDefault) const = 0;
    virtual int GetArgumentCount() const = 0;
    // Index (from 1) of the first argument equal to the option's name (ASCII case folded);
    // 0 when there is none.
    virtual int FindOptionArgument(int hParam) const = 0;
    // The argument; "" (and an assertion) for an index out of range.
    virtual const char *GetArgument(int nIndex) const = 0;
    // Registers a name and description (both borrowed: they must outlive the registration).
    // The same name in any letter case gets the same handle; null gets -1.
    virtual int RegisterOption(const char *pchName, const char *pchDescription) = 0;
    virtual void PrintOptions() const = 0;
    virtual int FirstOption() const = 0;
    virtual int NextOption(int hParam) const = 0;
    virtual const char *GetOptionName(int hParam) const = 0;
    virtual const char *GetOptionDescription(int hParam) const = 0;
    // Memory validation: reports the text, the arguments and the options under pchName.
    virtual void Validate(const char *pchName) const = 0;
    virtual ~ICommandLine() {}
};

struct CommandLineParam_t
{
    const char *m_pchName = nullptr;        // borrowed
    const char *m_pchDescription = nullptr; // borrowed
};

class CCommandLine : public ICommandLine
{
public:
    CCommandLine();
    ~CCommandLine() override;
    CCommandLine(const CCommandLine &) = delete;
    CCommandLine &operator=(const CCommandLine &) = delete;

    void CreateFromArguments(int argc, char **argv) override;
    void CreateFromText(const char *pchCommandLine) override;
    const char *GetText() const override { return m_pchCommandLine; }
    const char *FindOption(int hParam, const char **ppchValue = nullptr) const override;
    void RemoveOption(int hParam) override;
    void AppendOption(int hParam, const char *pchValue) override;
    float GetOptionFloat(int hParam, float flDefault) const override;
    int GetOptionInt(int hParam, int nDefault) const override;
    const char *GetOptionString(int hParam, const char *pchDefault) const override;
    int GetArgumentCount() const override { return m_nParmCount; }
    int FindOptionArgument(int hParam) const override;
    const char *GetArgument(int nIndex) const override;
    int RegisterOption(const char *pchName, const char *pchDescription) override;
    void PrintOptions() const override;
    int FirstOption() const override;
    int NextOption(int hParam) const override;
    const char *GetOptionName(int hParam) const override;
    const char *GetOptionDescription(int hParam) const override;
    void Validate(const char *pchName) const override;

    // Frees the option's list element; its handle is given to a later registration.
    void UnregisterOption(int hParam);

    // The process-wide object while it lives (null before construction and after its
    // destruction at exit), for option objects that outlive it.
    static CCommandLine *GetProcessCommandLineIfAlive();

private:
    // Name of a valid, named option; null otherwise.
    const char *OptionName(int hParam) const;
    // Index of the argument after the option, or 0 when there is no usable value.
    int OptionValueIndex(int hParam) const;
    void SetText(const char *pchText, size_t cchText);
    void ParseArguments();
    void FreeArguments();
    // Removes the option's occurrences from the text without re-parsing.
    void RemoveOptionFromText(const char *pchName);

    char *m_pchCommandLine = nullptr;
    int m_nParmCount = 0;
    char *m_rgpchParms[MAX_PARAMETERS] = {};
    CUtlHandleList<CommandLineParam_t> m_listCommandLineOption{16};

    friend ICommandLine *GetCommandLineObject();
    bool m_bIsProcessObject = false;
};

// The process-wide command line: constructed on first use (also from static initialisers)
// and destroyed at exit. Until it has been filled, each call fills it from the system's
// command line text when that is not empty.
ICommandLine *GetCommandLineObject();

// One per option the program reads, declared at namespace scope:
//     static CCommandLineOption g_OptionTextClient( "-textclient", "" );
// Registers with the process-wide command line on construction and releases the handle on
// destruction. Name and description must outlive the object (literals).
class CCommandLineOption
{
public:
    CCommandLineOption(const char *pchName, const char *pchDescription);
    ~CCommandLineOption();
    CCommandLineOption(const CCommandLineOption &) = delete;
    CCommandLineOption &operator=(const CCommandLineOption &) = delete;

    int GetHandle() const { return m_hParam; }

private:
    int m_hParam;
};
