#pragma once

#include "shell/ui/MessageBox.h"
#include "support/Sandbox.h"
#include "ui/SpinUntil.h"

#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

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

// A window test in Dir() as its working directory that collects the texts of message
// boxes instead of showing them.
class WindowTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        // The window's dialogs keep the program's settings file in the working directory.
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(Dir());
        CMessageBox::SetInterceptor([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        CMessageBox::SetInterceptor(nullptr);
        std::filesystem::current_path(m_oldCwd);
        Sandbox::TearDown();
    }

    // A working directory that no longer exists cannot be written, not even by root.
    void LoseWorkingDir()
    {
        std::filesystem::create_directory("gone");
        ASSERT_EQ(::chdir("gone"), 0);
        std::filesystem::remove(Dir() / "gone");
    }
    void RegainWorkingDir() { ASSERT_EQ(::chdir(Dir().c_str()), 0); }

    TestApp m_app;
    std::vector<std::string> m_messages;

private:
    std::filesystem::path m_oldCwd;
};

// The named child of a dialog; a missing one fails the test.
template <typename T>
T* Child(QWidget* pDlg, const char* szName)
{
    T* pChild = pDlg->findChild<T*>(szName);
    EXPECT_NE(pChild, nullptr) << szName;
    return pChild;
}

inline void Click(QWidget* pDlg, const char* szName)
{
    Child<QPushButton>(pDlg, szName)->click();
}
