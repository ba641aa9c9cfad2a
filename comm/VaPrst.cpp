#include "VaPrst.h"

#include <stdexcept>

void TVaPersistent::EndUpdate()
{
    if (updateCount_ > 0) {
        --updateCount_;
        Changed();
    }
}

void TVaPersistent::Changed()
{
    if (updateCount_ == 0 && OnChange)
        OnChange();
}

void TVaPersistent::AssignError(const TVaPersistent& source) const
{
    throw std::invalid_argument(std::string("Cannot assign a ") + source.ClassName() + " to a " +
                                ClassName());
}

void TVaFlowControl::Assign(const TVaPersistent& source)
{
    const auto* s = dynamic_cast<const TVaFlowControl*>(&source);
    if (!s)
        AssignError(source);
    BeginUpdate();
    outCtsFlow_ = s->outCtsFlow_;
    outDsrFlow_ = s->outDsrFlow_;
    controlDtr_ = s->controlDtr_;
    controlRts_ = s->controlRts_;
    xonXoffOut_ = s->xonXoffOut_;
    xonXoffIn_ = s->xonXoffIn_;
    dsrSensitivity_ = s->dsrSensitivity_;
    txContinueOnXoff_ = s->txContinueOnXoff_;
    EndUpdate();
}

void TVaEventChars::SetChar(int index, uint8_t value)
{
    if (index < 1 || index > 5)
        throw std::out_of_range("Event character index out of range");
    chars_[index - 1] = value;
    Changed();
}

void TVaEventChars::Assign(const TVaPersistent& source)
{
    const auto* s = dynamic_cast<const TVaEventChars*>(&source);
    if (!s)
        AssignError(source);
    BeginUpdate();
    for (int i = 0; i < 5; ++i)
        chars_[i] = s->chars_[i];
    EndUpdate();
}

void TVaBuffers::Assign(const TVaPersistent& source)
{
    const auto* s = dynamic_cast<const TVaBuffers*>(&source);
    if (!s)
        AssignError(source);
    BeginUpdate();
    readSize_ = s->readSize_;
    writeSize_ = s->writeSize_;
    readTimeout_ = s->readTimeout_;
    writeTimeout_ = s->writeTimeout_;
    xonLimit_ = s->xonLimit_;
    xoffLimit_ = s->xoffLimit_;
    EndUpdate();
}
