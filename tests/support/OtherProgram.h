#pragma once
// A window of another program on the test X server: it takes the keyboard
// focus as a user going to another program does, so that a test can leave
// the program under test and come back to it.

#include <memory>

namespace tonvara::test {

class TOtherProgram {
public:
    /// Opens a connection of its own to $DISPLAY and maps a small window.
    TOtherProgram();
    ~TOtherProgram();
    TOtherProgram(const TOtherProgram&) = delete;
    TOtherProgram& operator=(const TOtherProgram&) = delete;

    /// Whether the display could be opened and the window made.
    bool Valid() const;
    /// Raises the window and gives it the input focus.
    void TakeFocus();
    /// Gives the input focus back to `window` (an X window id), as a window
    /// manager does when the user clicks there. A program cannot take it
    /// back itself: its request would carry an older time than the focus
    /// change this connection made, and the server ignores it.
    void ReturnFocusTo(unsigned long window);

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

} // namespace tonvara::test
