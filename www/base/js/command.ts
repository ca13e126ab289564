shell $request_body
