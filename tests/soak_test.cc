// Long mixed runs of the real binary against a misbehaving app.
