#pragma once

#include <QObject>

// Deleter for QObjects that may be in the middle of delivering a signal or event when their
// owner lets go of them: they go once control is back in the event loop.
struct DeleteLater
{
    void operator()(QObject* object) const
    {
        if (object) {
            object->deleteLater();
        }
    }
};
