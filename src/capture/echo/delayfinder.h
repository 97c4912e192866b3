#pragma once

#include "echo/echotuning.h"

#include <deque>
#include <optional>
#include <vector>

// How the call comes back in the microphone: how much quieter (the coupling loss: above a
// threshold nothing of the call reaches the microphone, and it passes through) and how late.
// It keeps the 10 ms levels of both for the last 1.5 s, finds the lag where they match best, and
// decides the lead: how far ahead of the microphone the call is handed over, so that the echo
// falls where the canceller looks for it.
class DelayFinder
{
public:
    [[nodiscard]] double lead() const { return m_lead; }
    // The call reaches the microphone: cancelling is worth it.
    [[nodiscard]] bool coupled() const { return m_couplingLoss < echo::decoupledLoss; }
    // Forgets the levels (the call was silent, or the lead moved).
    void forget();
    // Follows how loud the call comes back in the microphone, from the microphone frame `input`
    // and the call's power `call` at the same time (nothing when it has not come yet), and when.
    // Returns how much further ahead the call is handed over from now on, when the lead moved.
    std::optional<double> update(
        const std::vector<std::vector<float>>& input, std::optional<float> call);

private:
    std::optional<double> checkDelay();
    double moveLead(double wanted);

    // Per processed microphone frame, oldest first: its power, and the call's at the same time.
    std::deque<float> m_microphoneLevels;
    std::deque<float> m_callLevels;
    double m_lead = echo::referenceLead;
    int m_framesSinceDelayCheck = 0;
    double m_couplingLoss = 0; // dB; starts as if the call reached the microphone
};
