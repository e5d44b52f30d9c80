#include "ravelgrid/terminal/EscapeSequences.h"

namespace ravelgrid {

namespace {
constexpr uint8_t ESC = 0x1B;
}

const EscapeSequences::Bytes EscapeSequences::cmdNewLine{0x0A};
const EscapeSequences::Bytes EscapeSequences::cmdRet{0x0D};
const EscapeSequences::Bytes EscapeSequences::cmdEsc{ESC};
const EscapeSequences::Bytes EscapeSequences::cmdDel{0x7F};
const EscapeSequences::Bytes EscapeSequences::cmdDelKey{ESC, '[', '3', '~'};
const EscapeSequences::Bytes EscapeSequences::moveUpApp{ESC, 'O', 'A'};
const EscapeSequences::Bytes EscapeSequences::moveUpNormal{ESC, '[', 'A'};
const EscapeSequences::Bytes EscapeSequences::moveDownApp{ESC, 'O', 'B'};
const EscapeSequences::Bytes EscapeSequences::moveDownNormal{ESC, '[', 'B'};
const EscapeSequences::Bytes EscapeSequences::moveLeftApp{ESC, 'O', 'D'};
const EscapeSequences::Bytes EscapeSequences::moveLeftNormal{ESC, '[', 'D'};
const EscapeSequences::Bytes EscapeSequences::moveRightApp{ESC, 'O', 'C'};
const EscapeSequences::Bytes EscapeSequences::moveRightNormal{ESC, '[', 'C'};
const EscapeSequences::Bytes EscapeSequences::moveHomeApp{ESC, 'O', 'H'};
const EscapeSequences::Bytes EscapeSequences::moveHomeNormal{ESC, '[', 'H'};
const EscapeSequences::Bytes EscapeSequences::moveEndApp{ESC, 'O', 'F'};
const EscapeSequences::Bytes EscapeSequences::moveEndNormal{ESC, '[', 'F'};
const EscapeSequences::Bytes EscapeSequences::cmdTab{0x09};
const EscapeSequences::Bytes EscapeSequences::cmdBackTab{ESC, '[', 'Z'};
const EscapeSequences::Bytes EscapeSequences::cmdPageUp{ESC, '[', '5', '~'};
const EscapeSequences::Bytes EscapeSequences::cmdPageDown{ESC, '[', '6', '~'};
const EscapeSequences::Bytes EscapeSequences::cmdInsert{ESC, '[', '2', '~'};
const EscapeSequences::Bytes EscapeSequences::emacsBack{ESC, 'b'};
const EscapeSequences::Bytes EscapeSequences::emacsForward{ESC, 'f'};
const EscapeSequences::Bytes EscapeSequences::controlLeft{ESC, '[', '1', ';', '5', 'D'};
const EscapeSequences::Bytes EscapeSequences::controlRight{ESC, '[', '1', ';', '5', 'C'};
const std::array<EscapeSequences::Bytes, 12> EscapeSequences::cmdF{{
    {ESC, 'O', 'P'},
    {ESC, 'O', 'Q'},
    {ESC, 'O', 'R'},
    {ESC, 'O', 'S'},
    {ESC, '[', '1', '5', '~'},
    {ESC, '[', '1', '7', '~'},
    {ESC, '[', '1', '8', '~'},
    {ESC, '[', '1', '9', '~'},
    {ESC, '[', '2', '0', '~'},
    {ESC, '[', '2', '1', '~'},
    {ESC, '[', '2', '3', '~'},
    {ESC, '[', '2', '4', '~'},
}};
EscapeSequences::Bytes EscapeSequences::bracketedPasteStart{ESC, '[', '2', '0', '0', '~'};
EscapeSequences::Bytes EscapeSequences::bracketedPasteEnd{ESC, '[', '2', '0', '1', '~'};

}  // namespace ravelgrid
