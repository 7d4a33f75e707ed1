#include "canopenservice.h"

#include "canscheduler.h"

std::atomic<bool> CANopenService::mUseCANopenFD { false };

CANopenService::CANopenService(QObject *parent)
    : QObject(parent)
{
}

CANopenService::~CANopenService() = default;

void CANopenService::activateCANopenFD(bool on)
{
    mUseCANopenFD.store(on, std::memory_order_seq_cst);
}
