// The command-line option parser: walks the words of a command line against a table of
// options, reporting each option (whole or abbreviated) with its argument, or an error entry,
// and moves the words that are not options to the end of the array.
#pragma once

#include <algorithm>
#include <new>
#include <vector>

// Argument types of a table row.
enum SOArgType {
    SO_NONE = 0,    // no argument; one after "=" is an error
    SO_REQ_SEP = 1, // required: after "=" or as the next word
    SO_REQ_CMB = 2, // required in the same word (after "=", joined, or the rest of a clump)
    SO_OPT = 3,     // optional, in the same word
    SO_MULTI = 4,   // unchecked: the caller takes its words with MultiArg
};

// Flags of the parser (a flag is set when all its bits are).
enum SOFlags {
    SO_O_EXACT = 0x0001,       // abbreviations are unknown
    SO_O_SHORTARG = 0x0004,    // "-ofile" for a one-letter option of type 2 or 3
    SO_O_CLUMP = 0x0008,       // "-abc" is -a, -b, -c
    SO_O_USEALL = 0x0010,      // the walk starts at word 0, not after the program name
    SO_O_NOERR = 0x0020,       // unknown words are plain words; arguments may start with "-"
    SO_O_PEDANTIC = 0x0040,    // a type-1 argument may not come after "="
    SO_O_ICASE_SHORT = 0x0100, // A-Z match a-z in one-letter options
    SO_O_ICASE_LONG = 0x0200,  // ... in long options
    SO_O_ICASE_WORD = 0x0400,  // ... in rows without a dash
};

// Error codes of an entry.
enum SOError {
    SO_SUCCESS = 0,
    SO_OPT_INVALID = -1,      // unknown option, or an abbreviation where only exact ones count
    SO_OPT_MULTIPLE = -2,     // ambiguous abbreviation
    SO_ARG_INVALID = -3,      // an argument after "=" for an option that takes none
    SO_ARG_INVALID_TYPE = -4, // an argument after "=" for a type-1 option, pedantic
    SO_ARG_MISSING = -5,      // a required argument is missing
    SO_ARG_INVALID_DATA = -6, // the word taken as an argument starts with "-"
};

template <class SOCHAR> class CSimpleOptTempl {
  public:
    struct SOption {
        int nId;              // reported for this row; a negative id ends the table
        const SOCHAR* pszArg; // the option as written, dashes included
        int nArgType;         // SOArgType
    };

    CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* table, int flags = 0) {
        Init(argc, argv, table, flags);
    }
    CSimpleOptTempl(const CSimpleOptTempl&) = delete;
    CSimpleOptTempl& operator=(const CSimpleOptTempl&) = delete;

    bool Init(int argc, SOCHAR** argv, const SOption* table, int flags = 0) {
        m_argc = argc;
        m_nLastArg = argc;
        m_argv = argv;
        m_rgOptions = table;
        m_nFlags = flags;
        m_nLastError = SO_SUCCESS;
        m_nOptionIdx = 0;
        m_nOptionId = -1;
        m_pszOptionText = nullptr;
        m_pszOptionArg = nullptr;
        m_pszClump = nullptr;
        m_nNextOption = HasFlag(SO_O_USEALL) ? 0 : 1;
        m_szShort[0] = static_cast<SOCHAR>('-');
        m_szShort[1] = 0;
        m_szShort[2] = 0;
        // The move area grows as needed, so any number of words can be reordered.
        try {
            m_shuffle.clear();
            m_shuffle.reserve(argc > 0 ? static_cast<size_t>(argc) : 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    bool Next() {
        if (m_pszClump && *m_pszClump) {
            bool found = NextClumped();
            while (!found && *m_pszClump && HasFlag(SO_O_NOERR))
                found = NextClumped();
            if (found || !HasFlag(SO_O_NOERR)) return true;
        }
        m_pszClump = nullptr;
        m_nOptionIdx = m_nNextOption;
        m_nOptionId = -1;
        m_pszOptionText = nullptr;
        m_pszOptionArg = nullptr;
        m_nLastError = SO_SUCCESS;

        int found = -1;
        int i = m_nOptionIdx;
        while (found < 0 && i < m_nLastArg) {
            SOCHAR* word = m_argv[i];
            SOCHAR* equals = nullptr;
            m_pszOptionArg = nullptr;
            if (IsDash(word[0])) {
                equals = FindEquals(word);
                if (equals) {
                    *equals = 0;
                    m_pszOptionArg = equals + 1;
                }
            }
            found = LookupOption(word);
            if (found < 0 && !m_pszOptionArg && IsDash(word[0]) && word[1] && !IsDash(word[1]) &&
                word[2]) {
                if (HasFlag(SO_O_SHORTARG)) {
                    m_szShort[1] = word[1];
                    int row = LookupOption(m_szShort);
                    if (row >= 0 && (m_rgOptions[row].nArgType == SO_REQ_CMB ||
                                     m_rgOptions[row].nArgType == SO_OPT)) {
                        found = row;
                        m_pszOptionArg = word + 2;
                    }
                }
                if (found < 0 && HasFlag(SO_O_CLUMP)) {
                    m_pszClump = word + 1;
                    m_nNextOption++;
                    ShuffleArg(m_nOptionIdx, i - m_nOptionIdx);
                    return Next();
                }
            }
            if (found >= 0) break;
            if (!HasFlag(SO_O_NOERR) && IsDash(word[0])) {
                m_pszOptionText = word;
                break;
            }
            if (equals) *equals = static_cast<SOCHAR>('=');
            m_pszOptionArg = nullptr;
            i++;
        }
        if (i >= m_nLastArg) {
            ShuffleArg(m_nOptionIdx, i - m_nOptionIdx);
            return false;
        }
        m_nNextOption++;

        int argType = SO_NONE;
        if (found < 0) {
            m_nLastError = found;
        } else {
            const SOption& row = m_rgOptions[found];
            m_nOptionId = row.nId;
            m_pszOptionText = row.pszArg;
            argType = row.nArgType;
            if (argType == SO_NONE && m_pszOptionArg)
                m_nLastError = SO_ARG_INVALID;
            else if (argType == SO_REQ_SEP && m_pszOptionArg && HasFlag(SO_O_PEDANTIC))
                m_nLastError = SO_ARG_INVALID_TYPE;
            else if (argType == SO_REQ_CMB && !m_pszOptionArg)
                m_nLastError = SO_ARG_MISSING;
        }
        ShuffleArg(m_nOptionIdx, i - m_nOptionIdx);
        if (argType == SO_REQ_SEP && !m_pszOptionArg && m_nLastError == SO_SUCCESS) {
            SOCHAR** taken = MultiArg(1);
            if (taken) m_pszOptionArg = *taken;
        }
        return true;
    }

    int LastError() const { return m_nLastError; }
    int OptionId() const { return m_nOptionId; }
    const SOCHAR* OptionText() const { return m_pszOptionText; }
    SOCHAR* OptionArg() const { return m_pszOptionArg; }

    // The next n words as the current option's arguments; null (and an error entry) when
    // there are fewer, or, unless errors are off, when one of them looks like an option.
    SOCHAR** MultiArg(int n) {
        if (m_nNextOption + n > m_nLastArg) {
            m_nLastError = SO_ARG_MISSING;
            return nullptr;
        }
        if (!HasFlag(SO_O_NOERR)) {
            for (int k = m_nNextOption; k < m_nNextOption + n; k++) {
                if (IsDash(m_argv[k][0])) {
                    m_nLastError = SO_ARG_INVALID_DATA;
                    return nullptr;
                }
            }
        }
        SOCHAR** first = m_argv + m_nNextOption;
        m_nNextOption += n;
        return first;
    }

  private:
    static bool IsDash(SOCHAR c) { return c == static_cast<SOCHAR>('-'); }
    bool HasFlag(int flag) const { return (m_nFlags & flag) == flag; }

    // The next letter of a clump, looked up exactly as "-" and the letter.
    bool NextClumped() {
        m_szShort[1] = *m_pszClump++;
        m_nOptionId = -1;
        m_pszOptionText = nullptr;
        m_pszOptionArg = nullptr;
        m_nLastError = SO_SUCCESS;

        int flags = m_nFlags;
        m_nFlags = SO_O_EXACT;
        int row = LookupOption(m_szShort);
        m_nFlags = flags;
        if (row < 0) {
            m_pszOptionText = m_szShort;
            m_nLastError = SO_OPT_INVALID;
            return false;
        }
        const SOption& option = m_rgOptions[row];
        m_pszOptionText = option.pszArg;
        if (option.nArgType == SO_NONE) {
            m_nOptionId = option.nId;
            return true;
        }
        if (option.nArgType == SO_REQ_CMB && *m_pszClump) {
            m_nOptionId = option.nId;
            m_pszOptionArg = m_pszClump;
            while (*m_pszClump)
                m_pszClump++;
            return true;
        }
        m_nLastError = SO_ARG_MISSING;
        return true;
    }

    // The row for the text: an exact match, else the one longest abbreviation; -1 for none
    // (or any abbreviation when only exact matches count), -2 for an ambiguous one.
    int LookupOption(const SOCHAR* text) const {
        int best = 0, second = 0, candidate = -1;
        for (int row = 0; m_rgOptions[row].nId >= 0; row++) {
            int score = CalcMatch(m_rgOptions[row].pszArg, text);
            if (score == -1) return row;
            if (score > 0 && score >= best) {
                second = best;
                best = score;
                candidate = row;
            }
        }
        if (HasFlag(SO_O_EXACT) || candidate < 0) return SO_OPT_INVALID;
        return best == second ? SO_OPT_MULTIPLE : candidate;
    }

    // -1 for an exact match, n > 0 when the text abbreviates the option by n characters
    // after their dashes, 0 otherwise.
    int CalcMatch(const SOCHAR* option, const SOCHAR* text) const {
        if (!option || !text) return 0;
        int caseClass = SO_O_ICASE_WORD;
        if (IsDash(option[0]))
            caseClass =
                option[1] && !IsDash(option[1]) && !option[2] ? SO_O_ICASE_SHORT : SO_O_ICASE_LONG;
        while (IsDash(*option) && IsDash(*text)) {
            option++;
            text++;
        }
        if (IsDash(*option) || IsDash(*text)) return 0;
        int n = 0;
        while (*option && *text && IsEqual(*option, *text, caseClass)) {
            option++;
            text++;
            n++;
        }
        if (!*option) return *text ? 0 : -1;
        return *text ? 0 : n;
    }

    bool IsEqual(SOCHAR a, SOCHAR b, int caseClass) const {
        if (m_nFlags & caseClass) {
            if (a >= 'A' && a <= 'Z') a = static_cast<SOCHAR>(a + ('a' - 'A'));
            if (b >= 'A' && b <= 'Z') b = static_cast<SOCHAR>(b + ('a' - 'A'));
        }
        return a == b;
    }

    static SOCHAR* FindEquals(SOCHAR* word) {
        for (; *word; word++)
            if (*word == static_cast<SOCHAR>('=')) return word;
        return nullptr;
    }

    // Moves the n words at start to the very end of the array, behind those moved before,
    // and lowers the last index by n.
    void ShuffleArg(int start, int n) {
        if (n <= 0) return;
        m_shuffle.assign(m_argv + start, m_argv + start + n);
        std::copy(m_argv + start + n, m_argv + m_argc, m_argv + start);
        std::copy(m_shuffle.begin(), m_shuffle.end(), m_argv + m_argc - n);
        m_nLastArg -= n;
    }

    const SOption* m_rgOptions = nullptr;
    int m_nFlags = 0;
    int m_nOptionIdx = 0;
    int m_nOptionId = -1;
    int m_nNextOption = 1;
    int m_nLastArg = 0;
    int m_argc = 0;
    SOCHAR** m_argv = nullptr;
    const SOCHAR* m_pszOptionText = nullptr;
    SOCHAR* m_pszOptionArg = nullptr;
    SOCHAR* m_pszClump = nullptr;
    SOCHAR m_szShort[4] = {};
    int m_nLastError = SO_SUCCESS;
    std::vector<SOCHAR*> m_shuffle;
};

using CSimpleOpt = CSimpleOptTempl<char>;
