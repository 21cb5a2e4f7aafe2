// The main window: its procedure, toolbar, tooltips and status bar.
#pragma once

#include <windows.h>
#include <commctrl.h>

constexpr char MainWindowClassName[] = "kv7fpt";
constexpr char MainWindowTitle[] = "Vantrel K4471";

// The toolbar's buttons, left to right: Program, Erase (hidden), Launch,
// Connect, a separator, Help.
constexpr int ToolbarButtonCount = 6;
extern TBBUTTON toolbarButtons[ToolbarButtonCount];
// What the toolbar is told: six pictures of 18 x 20 pixels on buttons of
// 20 x 18. CreateToolbarEx gives its picture list the button size, though, so
// the strip is cut into pictures of 20 x 18 pixels; the art is drawn so.
constexpr int ToolbarImageCount = 6;
constexpr int ToolbarImageWidth = 18;
constexpr int ToolbarImageHeight = 20;
constexpr int ToolbarButtonWidth = 20;
constexpr int ToolbarButtonHeight = 18;

// Right edge of each status bar part, from the client width at creation.
extern int statusPartEdges[2];

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void initToolbarButtons();
// Creates the toolbar in mainWindow with the strip of the given instance and
// stores toolBar.
void createToolbar(HINSTANCE instance);
// Creates the status bar in parent, sets its parts and first texts and stores
// statusBar.
void createStatusBar(HWND parent);

// The tooltip of a toolbar button by command id; nullptr for any other id.
const char* tooltipTextFor(UINT_PTR id);
