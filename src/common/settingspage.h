#pragma once

// A page of the desktop's own settings where the user grants or checks what Parlevox needs.
enum class SettingsPage
{
    Microphone,
    SystemAudio,
    Accessibility,
};

// Opens the page with the desktop's settings tool (GNOME, KDE, else pavucontrol). Failures are
// ignored: the button is a convenience, and the sentence beside it already says what to do.
void openSettingsPage(SettingsPage page);
