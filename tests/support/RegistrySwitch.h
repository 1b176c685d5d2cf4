// Creates the trace switch, HKLM\SOFTWARE value "AutoTest", for its lifetime.
#ifndef TERNFILEMON_TESTS_REGISTRYSWITCH_H
#define TERNFILEMON_TESTS_REGISTRYSWITCH_H

namespace terntest {

bool SetAutoTestValue();
bool DeleteAutoTestValue();

class AutoTestSwitch {
public:
    AutoTestSwitch();
    ~AutoTestSwitch();
    AutoTestSwitch(const AutoTestSwitch&) = delete;
    AutoTestSwitch& operator=(const AutoTestSwitch&) = delete;
    bool IsOn() const { return m_bOn; }

private:
    bool m_bOn;
};

}  // namespace terntest

#endif
