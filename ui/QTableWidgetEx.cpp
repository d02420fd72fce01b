#include "ui/QTableWidgetEx.h"

#include <QMouseEvent>

QTableWidgetEx::QTableWidgetEx(QWidget* parent) : QTableWidget(parent) {}

void QTableWidgetEx::mousePressEvent(QMouseEvent* event)
{
    if (!indexAt(event->pos()).isValid()) {
        setCurrentIndex(QModelIndex());
        emit itemSelectionEmpty();
        return;
    }
    QTableWidget::mousePressEvent(event);
}
