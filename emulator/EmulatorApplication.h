#pragma once

#include <QCoreApplication>

// varnel-emu's application: an event for an object of one of several units is handled with
// that unit's log prefix in force, so every line its code logs names the unit.
class EmulatorApplication : public QCoreApplication
{
    Q_OBJECT

public:
    EmulatorApplication(int& argc, char** argv) : QCoreApplication(argc, argv) {}

    // Off (the default) with one unit: nothing is looked up and no line changes.
    void setUnitPrefixes(bool on) { m_unitPrefixes = on; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    bool m_unitPrefixes = false;
};
