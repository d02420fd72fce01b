#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

class Journal;

// Whether a unit's journal holds what a test expects of the PC program: how many frames match
// one pattern, or whether patterns match in order. When not, the answer shows the events
// nearest to what was expected: those of the same command first, then those with more of the
// pattern's fields right, each field marked with the value the event had.
class JournalVerifier
{
public:
    static constexpr int kMaxNear = 5;
    static constexpr int kMaxSequence = 100;

    // The answer to a verification's JSON body:
    //   {"command", "fields", "hex", "type", "count": N or {"min", "max"}, "after", "before"}
    //     -> {"ok": true, "matched", "seqs"} or {"ok": false, "matched", "expected", "near"};
    //   {"sequence": [PATTERN, ...], "strict", "after", "before"}
    //     -> {"ok": true, "matched", "seqs"} or {"ok": false, "failed", "pattern", "placed", "near"}.
    // Nothing, and `error` naming the key and what is wrong, for a body that is no verification.
    static std::optional<QJsonObject> verify(const Journal& journal, const QJsonObject& body, QString* error);
};
