#pragma once
// One client of a TCP mapping service, on its own thread.
//
// OnStart resolves the destination through the service's rules (none and no default: the session
// ends), optionally runs the server side of the enciphered link with the client (a fixed user, or
// any user of the database with that user's password), checks the rights, has the dialer bring
// the link up, resolves and checks again when the destination could not be resolved before, and
// connects out through the service's upstream method, optionally logging in to the destination
// over the link. Then both connections go to the two-end relay, which passes a half-close on: a
// client that ends its sending still gets the whole answer.
//
// The incoming login proves a user of the database, but rights and rules are decided on the
// session's user and level as the machine gave them (the login changes neither); the operator
// chooses who may log in by UsernameIn or by the database.
#include <memory>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/mapping/mapping_settings.h"

class CTCPMappingSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CTCPMappingSession)

 public:
  CTCPMappingSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CTCPMappingSession() override;

  // Before the thread starts: the service's rules (shared with it) and its link values.
  void SetMappingSettings(std::shared_ptr<const CMappings> mappings, const CMappingLinkSettings& link);

 protected:
  void OnStart() override;

 private:
  void Initialize();

  std::shared_ptr<const CMappings> m_mappings;
  CMappingLinkSettings m_link;
};

// The rule request of a session: its user and client, the engine's user database and dialer.
CMappingRequest MakeMappingRequest(const CSession& session);
