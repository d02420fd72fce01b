#pragma once

#include <QTableWidget>

class QMouseEvent;

// A table that reports presses on area holding no cell, so the owner can drop the selection.
class QTableWidgetEx : public QTableWidget
{
    Q_OBJECT

public:
    explicit QTableWidgetEx(QWidget* parent = nullptr);

signals:
    void itemSelectionEmpty();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
