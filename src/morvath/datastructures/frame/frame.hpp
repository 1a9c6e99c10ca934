// The module frame: everything a module source needs to read like the Python
// module it stands for.
#pragma once

#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "instance.hpp"
#include "kept.hpp"
#include "klass.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "names.hpp"
#include "depth.hpp"
#include "recursion.hpp"
#include "signals.hpp"
#include "ref.hpp"
#include "watchers.hpp"
