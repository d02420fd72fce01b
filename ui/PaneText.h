#pragma once

#include <QStringList>

class QTextEdit;

// Appends text to a text pane as a new paragraph, always as plain text: frame and
// log contents may hold '<' and would otherwise be taken for HTML by QTextEdit::append.
class PaneText
{
public:
    static void appendParagraph(QTextEdit* edit, const QString& text);
    // Several paragraphs in one edit, laid out once.
    static void appendParagraphs(QTextEdit* edit, const QStringList& texts);
    // Removes the oldest paragraphs in one edit so that `keep` remain.
    static void keepNewestParagraphs(QTextEdit* edit, int keep);
};
