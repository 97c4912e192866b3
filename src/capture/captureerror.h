#pragma once

#include "error.h"

// A failure of recording, mixing or transcription, as one French sentence.
class CaptureError : public Error
{
public:
    using Error::Error;
};
