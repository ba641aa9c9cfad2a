// Settings objects of the port component: flow control, event characters, buffer sizes and
// time-outs. Each tells its port about a change through OnChange.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TVaPersistent {
public:
    virtual ~TVaPersistent() = default;

    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();
    // Copies every value from an object of the same class with one notification; other classes
    // are refused with std::invalid_argument.
    virtual void Assign(const TVaPersistent& source) = 0;
    virtual const char* ClassName() const = 0;

    std::function<void()> OnChange;

protected:
    void Changed();
    [[noreturn]] void AssignError(const TVaPersistent& source) const;

private:
    int32_t updateCount_ = 0;
};

enum TVaControlDtr { dtrDisabled, dtrEnabled, dtrHandshake };
enum TVaControlRts { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

class TVaFlowControl : public TVaPersistent {
public:
    bool OutCtsFlow() const { return outCtsFlow_; }
    bool OutDsrFlow() const { return outDsrFlow_; }
    TVaControlDtr ControlDtr() const { return controlDtr_; }
    TVaControlRts ControlRts() const { return controlRts_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DsrSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }

    void SetOutCtsFlow(bool v) { Set(outCtsFlow_, v); }
    void SetOutDsrFlow(bool v) { Set(outDsrFlow_, v); }
    void SetControlDtr(TVaControlDtr v) { Set(controlDtr_, v); }
    void SetControlRts(TVaControlRts v) { Set(controlRts_, v); }
    void SetXonXoffOut(bool v) { Set(xonXoffOut_, v); }
    void SetXonXoffIn(bool v) { Set(xonXoffIn_, v); }
    void SetDsrSensitivity(bool v) { Set(dsrSensitivity_, v); }
    void SetTxContinueOnXoff(bool v) { Set(txContinueOnXoff_, v); }

    void Assign(const TVaPersistent& source) override;
    const char* ClassName() const override { return "TVaFlowControl"; }

private:
    template <class T>
    void Set(T& field, T value)
    {
        if (field != value) {
            field = value;
            Changed();
        }
    }

    bool outCtsFlow_ = false;
    bool outDsrFlow_ = false;
    TVaControlDtr controlDtr_ = dtrDisabled;
    TVaControlRts controlRts_ = rtsDisabled;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
};

class TVaEventChars : public TVaPersistent {
public:
    enum Index { ixXon = 1, ixXoff = 2, ixError = 3, ixEvent = 4, ixEof = 5 };

    uint8_t XonChar() const { return chars_[0]; }
    uint8_t XoffChar() const { return chars_[1]; }
    uint8_t ErrorChar() const { return chars_[2]; }
    uint8_t EventChar() const { return chars_[3]; }
    uint8_t EofChar() const { return chars_[4]; }
    uint8_t Char(int index) const { return chars_[index - 1]; }
    // Stores the character at index 1 to 5 and always notifies, also when it is unchanged.
    void SetChar(int index, uint8_t value);
    void SetXonChar(uint8_t v) { SetChar(ixXon, v); }
    void SetXoffChar(uint8_t v) { SetChar(ixXoff, v); }
    void SetErrorChar(uint8_t v) { SetChar(ixError, v); }
    void SetEventChar(uint8_t v) { SetChar(ixEvent, v); }
    void SetEofChar(uint8_t v) { SetChar(ixEof, v); }

    void Assign(const TVaPersistent& source) override;
    const char* ClassName() const override { return "TVaEventChars"; }

private:
    uint8_t chars_[5] = {17, 19, 0, 0, 0};
};

using TVaIntW = int32_t;

class TVaBuffers : public TVaPersistent {
public:
    TVaIntW ReadSize() const { return readSize_; }
    TVaIntW WriteSize() const { return writeSize_; }
    TVaIntW ReadTimeout() const { return readTimeout_; }
    TVaIntW WriteTimeout() const { return writeTimeout_; }
    TVaIntW XonLimit() const { return xonLimit_; }
    TVaIntW XoffLimit() const { return xoffLimit_; }

    // Sizes and limits notify the port when they change; time-outs are plain stores.
    void SetReadSize(TVaIntW v) { Set(readSize_, v); }
    void SetWriteSize(TVaIntW v) { Set(writeSize_, v); }
    void SetReadTimeout(TVaIntW v) { readTimeout_ = Clamp(v); }
    void SetWriteTimeout(TVaIntW v) { writeTimeout_ = Clamp(v); }
    void SetXonLimit(TVaIntW v) { Set(xonLimit_, v); }
    void SetXoffLimit(TVaIntW v) { Set(xoffLimit_, v); }

    void Assign(const TVaPersistent& source) override;
    const char* ClassName() const override { return "TVaBuffers"; }

private:
    static TVaIntW Clamp(TVaIntW v) { return v < 0 ? 0 : v; }
    void Set(TVaIntW& field, TVaIntW value)
    {
        value = Clamp(value);
        if (field != value) {
            field = value;
            Changed();
        }
    }

    TVaIntW readSize_ = 4096;
    TVaIntW writeSize_ = 2048;
    TVaIntW readTimeout_ = 1000;
    TVaIntW writeTimeout_ = 1000;
    TVaIntW xonLimit_ = 1024;
    TVaIntW xoffLimit_ = 1024;
};
