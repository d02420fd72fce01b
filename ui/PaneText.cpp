#include "ui/PaneText.h"

#include <QString>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void PaneText::appendParagraph(QTextEdit* edit, const QString& text)
{
    appendParagraphs(edit, QStringList{text});
}

void PaneText::appendParagraphs(QTextEdit* edit, const QStringList& texts)
{
    QTextDocument* document = edit->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // Same block structure as QTextEdit::append: the first paragraph reuses the empty block.
    const QTextBlockFormat blockFormat = edit->textCursor().blockFormat();
    const QTextCharFormat charFormat = edit->textCursor().charFormat();
    bool first = document->isEmpty();
    for (const QString& text : texts) {
        if (first)
            cursor.setCharFormat(charFormat);
        else
            cursor.insertBlock(blockFormat, charFormat);
        first = false;
        cursor.insertText(text);
    }
    cursor.endEditBlock();
}

void PaneText::keepNewestParagraphs(QTextEdit* edit, int keep)
{
    QTextDocument* document = edit->document();
    const int excess = document->blockCount() - keep;
    if (excess <= 0)
        return;
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
    cursor.removeSelectedText();
}
