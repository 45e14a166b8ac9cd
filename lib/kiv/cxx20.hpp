/*
 * kiv/cxx20.hpp - the one check of the language version that every header
 * of kiv.hpp starts with: older C++ gets one clear error, not dozens from
 * the code after it, whichever of the headers it includes and how many.
 */
#ifndef KIV_CXX20_HPP
#define KIV_CXX20_HPP

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "kiv.hpp needs C++20 (-std=c++20; CMake: link kiv::kiv, which asks for it); from C, include kiv.h"
#else
#define KIV_HPP_CXX20 1
#endif

#endif /* KIV_CXX20_HPP */
