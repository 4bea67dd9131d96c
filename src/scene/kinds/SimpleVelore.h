#pragma once
// Unit SimpleVelore: every node kind of the library and the paint-box view,
// and the start-up step that makes the kinds known to scene scripts.
#include "scene/kinds/Pbox.h"
#include "scene/kinds/VlxDrafter.h"
#include "scene/kinds/VlxImg.h"
#include "scene/kinds/VlxMat.h"
#include "scene/kinds/VlxStencil.h"

namespace quenlo {

// Appends the nine kinds to the registry after "Velore", in the order
// scripts rely on when names clash: VlxMat, VlxImg, VlxCel, VlxStencil,
// VlxPoly, Vlx2, VlxAnk, VlxAnk88, VlxSlider. Call once at start-up,
// before any script is read; later calls do nothing.
void RegisterSimpleVeloreKinds();

}  // namespace quenlo
