#pragma once
// One listening binding of a service: the interface it listens on, its state and its listener.
#include <cstdint>
#include <memory>

#include "engine/config/interface.h"
#include "engine/net/x1_socket.h"

enum : uint32_t {
  BINDING_LISTENING = 0,
  BINDING_TO_OPEN = 1,
  BINDING_FAILED = 2,
};

class CBinding : public CObject {
  TL_DECLARE_SERIAL(CBinding)

 public:
  CBinding();
  // A copy (an editor's working copy) carries the interface and state, never the listener.
  CBinding(const CBinding& other);
  CBinding& operator=(const CBinding& other);
  ~CBinding() override;

  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &m_interface.m_name; }
  virtual bool Save(const CString& path) const { return m_interface.Save(path); }
  virtual void Load(const CString& path) { m_interface.Load(path); }

  // The listener, made on first use.
  X1Socket& Socket();
  bool HasSocket() const { return m_socket != nullptr; }
  void CloseSocket();

  uint32_t m_state = BINDING_TO_OPEN;
  CInterface m_interface;

 private:
  std::unique_ptr<X1Socket> m_socket;
};
