#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QScreen>
#include <QStringList>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <functional>

namespace uitest {

// Handles the modal windows a click opens, one queued step per window, from inside
// their own event loops. Each step waits for a visible modal window of its kind.
class ModalDriver : public QObject
{
public:
    using Action = std::function<void(QWidget*)>;

    ModalDriver()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
    }

    // A warning box: note its title and text, then press its default button.
    void closeMessageBox()
    {
        enqueue([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                [this](QWidget* w) {
                    auto* box = static_cast<QMessageBox*>(w);
                    titles << box->windowTitle();
                    texts << box->text();
                    buttonCounts << box->buttons().size();
                    defaultIsOk << (box->defaultButton() == box->button(QMessageBox::Ok));
                    QAbstractButton* ok = box->button(QMessageBox::Ok);
                    (ok ? ok : box->buttons().value(0))->click();
                });
    }

    // The given dialog: run the action, which must close it.
    void handleDialog(QDialog* dialog, const Action& action)
    {
        QPointer<QDialog> expected(dialog);
        enqueue([expected](QWidget* w) { return expected && w == expected.data(); }, action);
    }

    bool done() const { return m_steps.isEmpty(); }

    QStringList titles;
    QStringList texts;
    QList<int> buttonCounts;
    QList<bool> defaultIsOk;

private:
    struct Step
    {
        std::function<bool(QWidget*)> accepts;
        Action action;
    };

    void enqueue(std::function<bool(QWidget*)> accepts, Action action)
    {
        m_steps.enqueue({std::move(accepts), std::move(action)});
        m_timer.start();
    }

    void poll()
    {
        if (m_steps.isEmpty()) {
            m_timer.stop();
            return;
        }
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || !m_steps.head().accepts(w))
            return;
        const Step step = m_steps.dequeue();
        step.action(w);
    }

    QTimer m_timer;
    QQueue<Step> m_steps;
};

inline QScreen* volatile g_keptScreen = nullptr;

// Call right after creating the application. The offscreen plugin of Qt 5.15 never
// frees its screen: a global reference keeps LeakSanitizer's report to our own objects.
inline void setUpTestApplication()
{
    g_keptScreen = QGuiApplication::primaryScreen();
}

template <typename Test> int execTest(int argc, char** argv)
{
    Test test;
    return QTest::qExec(&test, argc, argv);
}

// The main() of a widget test: offscreen unless a platform is chosen, one application for every
// test class, run in turn; nonzero when any of them failed.
template <typename... Tests> int runWidgetTests(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setUpTestApplication();
    int status = 0;
    ((status |= execTest<Tests>(argc, argv)), ...);
    return status;
}

// The messages of the pane lines "[yyyy-MM-dd hh:mm:ss] message".
inline QStringList paneMessages(const QTextEdit* pane)
{
    QStringList messages;
    const QStringList lines = pane->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines)
        if (!line.isEmpty())
            messages << line.mid(22);
    return messages;
}

} // namespace uitest
