#pragma once
// The company policy file as cipher.dll reads it, kept from one request to the
// next while the file cannot have changed.

#include "companions/cipher/cipher.h"

#include <memory>

// A policy object that reads as a fresh CCCF would read now: the kept one
// while the file beside cipher.dll is the same file, of the same size, with
// the same last-write and change times, in folders that are unchanged too,
// and those times lie far enough back that a later write must show in them;
// a fresh one otherwise.
std::shared_ptr<CCCF> CurrentPolicy();
