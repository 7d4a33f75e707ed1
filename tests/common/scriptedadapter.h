#pragma once

#include "recordingadapter.h"

#include <QList>

/// A recording adapter that answers its sends from a script of results, one a send, and
/// with `result` once the script is used up: adapter refusals at chosen frames.
class ScriptedAdapter : public RecordingAdapter
{
    Q_OBJECT
public:
    using RecordingAdapter::RecordingAdapter;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        frames.append(message);
        return script.isEmpty() ? result : script.takeFirst();
    }
    QList<CAN::RetType> script;
};
