#pragma once

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

// Opens the widget's context menu and picks the entry of that text, as the user would.
inline void ChooseFromContextMenu(QWidget& widget, const QString& entry) {
    bool chosen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        poll.stop();
        for (QAction* action : menu->findChildren<QAction*>()) {
            if (action->text() == entry && !chosen) {
                action->trigger();
                chosen = true;
            }
        }
        menu->close();
    });
    poll.start(10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(50, 50),
                            widget.mapToGlobal(QPoint(50, 50)));
    QCoreApplication::sendEvent(&widget, &event);
    EXPECT_TRUE(chosen) << entry.toStdString();
}
