#include "ui/PaneText.h"

#include <QString>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void PaneText::appendParagraph(QTextEdit* edit, const QString& text)
{
    QTextDocument* document = edit->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // Same block structure as QTextEdit::append: the first paragraph reuses the empty block.
    if (!document->isEmpty())
        cursor.insertBlock(edit->textCursor().blockFormat(), edit->textCursor().charFormat());
    else
        cursor.setCharFormat(edit->textCursor().charFormat());
    cursor.insertText(text);
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
