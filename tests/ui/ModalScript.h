#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <deque>
#include <functional>

// Plays queued actions on modal dialogs as their loops open; a modal dialog with no
// action left is rejected and fails the test, so nothing ever blocks.
class ModalScript {
public:
    ModalScript()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
        m_timer.start(10);
    }
    void Then(std::function<void(QWidget*)> action) { m_actions.push_back(std::move(action)); }
    std::size_t Left() const { return m_actions.size(); }

private:
    void Tick()
    {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr || !pModal->isVisible())
            return;
        // A box an action opens in its turn is met by a nested tick.
        if (m_actions.empty()) {
            ADD_FAILURE() << "unexpected modal window " << pModal->windowTitle().toStdString();
            if (auto* pDialog = qobject_cast<QDialog*>(pModal))
                pDialog->reject();
            return;
        }
        auto action = std::move(m_actions.front());
        m_actions.pop_front();
        action(pModal);
    }

    QTimer m_timer;
    std::deque<std::function<void(QWidget*)>> m_actions;
};
