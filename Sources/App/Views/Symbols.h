#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace norvel {

// The small pictures of the window's buttons and notices, drawn by the application itself so
// that they look the same on every desktop whatever its icon theme.
enum class Symbol {
    waveformBadgePlus,    // the drop zone: a waveform with a plus
    micCircleFill,        // "Record"
    stopCircleFill,       // "Stop"
    checkmarkCircleFill,  // a downloaded model
    folder,               // open the history folder
    magnifyingGlass,      // show a transcript's file
    trash,                // delete
    playFill,             // play
    pauseFill,            // pause
    infoCircleFill,       // a notice
    warningTriangleFill,  // a problem
};

// The symbol in `color`, `size` device-independent pixels square, sharp on a display whose
// pixel ratio is `devicePixelRatio`. Filled symbols have their inner marks cut out, so the
// background shows through them.
QPixmap symbolPixmap(Symbol symbol, const QColor& color, int size, double devicePixelRatio = 1.0);
// The symbol as an icon with sharp pixmaps for ordinary and doubled pixel ratios.
QIcon symbolIcon(Symbol symbol, const QColor& color, int size = 16);

}  // namespace norvel
