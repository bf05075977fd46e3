// Errors of transform lookups. Every text names the frames (and times) involved.
#pragma once

#include <stdexcept>
#include <string>

namespace tf2 {

class TransformException : public std::runtime_error {
public:
  explicit TransformException(const std::string& errorDescription)
      : std::runtime_error(errorDescription) {}
};

// A frame id that is not in the tree.
class LookupException : public TransformException {
public:
  explicit LookupException(const std::string& errorDescription)
      : TransformException(errorDescription) {}
};

// Both frames exist but have no common ancestor.
class ConnectivityException : public TransformException {
public:
  explicit ConnectivityException(const std::string& errorDescription)
      : TransformException(errorDescription) {}
};

// The requested time lies outside the data held for a link of the chain.
class ExtrapolationException : public TransformException {
public:
  explicit ExtrapolationException(const std::string& errorDescription)
      : TransformException(errorDescription) {}
};

// A malformed argument (empty frame id, leading '/', ...).
class InvalidArgumentException : public TransformException {
public:
  explicit InvalidArgumentException(const std::string& errorDescription)
      : TransformException(errorDescription) {}
};

// A waiting lookup ran out of time.
class TimeoutException : public TransformException {
public:
  explicit TimeoutException(const std::string& errorDescription)
      : TransformException(errorDescription) {}
};

}  // namespace tf2
