#pragma once
// The main window's controls: their names, window classes, control IDs, places and fonts. The
// places are client coordinates of each control's parent, in pixels, for the flash utility role;
// the updater role hides Panel2 and moves everything below it up by its height.
#include <array>
#include <cstdint>

namespace kfs::win32 {

// Client area of the main window in the flash utility role.
inline constexpr int kClientWidth = 386;
inline constexpr int kClientHeight = 554;
// Height of Panel2, the "Selected File : " panel: the updater role's window is this much lower.
inline constexpr int kPanel2Height = 113;

// Every control, parents before their children.
enum class Ctl : int {
    GroupBox1,
    SelDevice,
    Panel2,
    GroupBox2,
    Edit1,
    BitBtn1,
    check_verify,
    Label1,
    Edit2,
    Panel1,
    BitBtn2,
    BitBtn4,
    ListBox1,
    StatusBar1,
    ProgressBar1,
};
inline constexpr int kControlCount = 15;
inline constexpr int kNoParent = -1;  // a direct child of the main window

enum class FontKind : std::uint8_t {
    kNormal,    // "MS Sans Serif", 13 pixels
    kBold,      // the same, bold
    kList,      // ListBox1: 17 pixels
    kCheckSum,  // Edit2: 17 pixels, bold (navy text)
};

// What kind of window a control is; the window class and styles follow from it.
enum class Kind : std::uint8_t {
    kGroupBox,      // BUTTON, BS_GROUPBOX, holds other controls
    kPanel,         // STATIC without border, holds other controls
    kDropDown,      // COMBOBOX, CBS_DROPDOWNLIST
    kReadOnlyEdit,  // EDIT, ES_READONLY, not a tab stop
    kEdit,          // EDIT
    kGlyphButton,   // BUTTON, owner-drawn: glyph and bold caption
    kCheckBox,      // BUTTON, BS_AUTOCHECKBOX
    kLabel,         // STATIC, right-aligned: it captions the control on its right
    kListBox,       // LISTBOX
    kStatusBar,     // msctls_statusbar32
    kProgressBar,   // msctls_progress32, PBS_SMOOTH
};

struct ControlDef {
    const char* name;
    Kind kind;
    int id;      // control ID (GetDlgCtrlID)
    int parent;  // index of the parent control, or kNoParent
    int x, y, width, height;
    const char* caption;
    FontKind font;
};

inline constexpr std::array<ControlDef, kControlCount> kControls = {{
    {"GroupBox1", Kind::kGroupBox, 101, kNoParent, 0, 0, 386, 80,
     "Selected Source : ", FontKind::kBold},
    {"SelDevice", Kind::kDropDown, 102, 0, 16, 34, 353, 24, "", FontKind::kNormal},
    {"Panel2", Kind::kPanel, 103, kNoParent, 0, 80, 386, 113, "", FontKind::kNormal},
    {"GroupBox2", Kind::kGroupBox, 104, 2, 0, 0, 386, 113, "Selected File : ", FontKind::kBold},
    {"Edit1", Kind::kReadOnlyEdit, 105, 3, 18, 24, 350, 24, "", FontKind::kNormal},
    {"BitBtn1", Kind::kGlyphButton, 106, 3, 18, 60, 121, 38, "&Load KFS", FontKind::kBold},
    {"check_verify", Kind::kCheckBox, 107, 3, 160, 71, 66, 17, "Verify", FontKind::kBold},
    // The bold caption is 73 to 77 pixels wide as drawn, depending on the face the system puts
    // in place of "MS Sans Serif": the label takes the whole gap between the check box and
    // Edit2 (three pixels short of it), and its text keeps to Edit2, which it captions.
    {"Label1", Kind::kLabel, 108, 3, 228, 72, 80, 16, "CheckSum", FontKind::kBold},
    {"Edit2", Kind::kEdit, 109, 3, 311, 66, 57, 28, "", FontKind::kCheckSum},
    {"Panel1", Kind::kPanel, 110, kNoParent, 0, 193, 386, 64, "", FontKind::kNormal},
    {"BitBtn2", Kind::kGlyphButton, 111, 9, 56, 16, 121, 31, "&Start", FontKind::kBold},
    {"BitBtn4", Kind::kGlyphButton, 112, 9, 209, 16, 121, 31, "&Exit", FontKind::kBold},
    {"ListBox1", Kind::kListBox, 113, kNoParent, 0, 257, 386, 276, "", FontKind::kList},
    {"StatusBar1", Kind::kStatusBar, 114, kNoParent, 0, 534, 386, 20, "", FontKind::kNormal},
    {"ProgressBar1", Kind::kProgressBar, 115, 13, 256, 2, 129, 16, "", FontKind::kNormal},
}};

inline constexpr const ControlDef& ControlOf(Ctl c) {
    return kControls[static_cast<std::size_t>(c)];
}

// The status bar's one text panel.
inline constexpr int kStatusPanelWidth = 50;
// ListBox1's line height.
inline constexpr int kListItemHeight = 20;
// The menu bar's commands have IDs kMenuFirstId + their position on the bar.
inline constexpr int kMenuFirstId = 200;

// The top of a main-window child in the given role.
inline constexpr int TopInRole(const ControlDef& def, bool updaterRole) {
    return updaterRole && def.parent == kNoParent &&
                   def.y >= ControlOf(Ctl::Panel2).y + kPanel2Height
               ? def.y - kPanel2Height
               : def.y;
}

}  // namespace kfs::win32
